// session/passive_ports.cpp: the in-use flags of passive ports.
#include "session/passive_ports.h"

#include <atomic>

constexpr int kPassivePortFlagCount = 256;

static std::atomic<unsigned char> portInUse[kPassivePortFlagCount];

void takePassivePort(int port) {
    portInUse[port & 0xff].store(1);
}

void releasePassivePort(int port) {
    portInUse[port & 0xff].store(0);
}

int nextPassivePort(int low, int high) {
    int candidate = low;
    while (candidate < high && portInUse[candidate & 0xff].load() != 0) {
        candidate++;
    }
    return candidate;
}
