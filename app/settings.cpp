// app/settings.cpp: the one definition of the process-wide settings.
#include "app/settings.h"

#include <cstring>

ServerSettings serverSettings = {"/",     true, 0,       kDefaultControlPort, 0, 0,
                                 nullptr, {},   nullptr, kDefaultMaxSessions, 0, 0};

void resetServerSettings(ServerSettings* settings) {
    std::memset(settings, 0, sizeof *settings);
    settings->rootPath[0] = '/';
    settings->readOnly = true;
    settings->controlPort = kDefaultControlPort;
    settings->maxSessions = kDefaultMaxSessions;
}
