// app/settings.cpp: the one definition of the process-wide settings.
#include "app/settings.h"

#include <cstring>

static ServerSettings startingSettings() {
    ServerSettings settings;
    resetServerSettings(&settings);
    return settings;
}

ServerSettings serverSettings = startingSettings();

void resetServerSettings(ServerSettings* settings) {
    std::memset(settings, 0, sizeof *settings);
    settings->rootPath[0] = '/';
    settings->readOnly = true;
    settings->controlPort = kDefaultControlPort;
    settings->maxSessions = kDefaultMaxSessions;
    settings->maxPerAddress = kDefaultMaxPerAddress;
    settings->loginSeconds = kDefaultLoginSeconds;
}
