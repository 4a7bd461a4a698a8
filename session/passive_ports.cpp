// session/passive_ports.cpp: the in-use flags of passive ports.
#include "session/passive_ports.h"

#include <atomic>

// Every port number has its own flag (64 KiB in all): flags shared by ports 256 apart would
// refuse sessions while ports of a wide range were still free.
constexpr int kPassivePortFlagCount = 65536;

static std::atomic<unsigned char> portInUse[kPassivePortFlagCount];

void takePassivePort(int port) {
    portInUse[port & 0xffff].store(1);
}

void releasePassivePort(int port) {
    portInUse[port & 0xffff].store(0);
}

int nextFreePassivePortAfter(int port, int low, int high) {
    for (int step = 1; step <= high - low; step++) {
        int candidate = low + (port - low + step) % (high - low + 1);
        if (portInUse[candidate & 0xffff].load() == 0) {
            return candidate;
        }
    }
    return -1;
}

int nextPassivePort(int low, int high) {
    int candidate = low;
    while (candidate < high && portInUse[candidate & 0xffff].load() != 0) {
        candidate++;
    }
    return candidate;
}
