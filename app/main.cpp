// app/main.cpp: the entry point; everything else is in the core library.
#include "app/startup.h"

int main(int argc, char** argv) {
    return runServer(argc, argv);
}
