// app/main.cpp: the entry point; everything else is in the core library.
#include "app/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    const char* const* arguments = commandLineInUtf8(argc, argv);
    if (arguments == nullptr) {
        printSystemError("Error: Unable to read the command line");
        return -1;  // the status of every other command line that cannot run
    }
    return runServer(argc, arguments);
}
