// session/command_table.cpp: the verb table and its lookup.
#include "session/command_table.h"

#include <cstring>

const char* const commandTable[kCommandCount] = {
    "ABOR", "CWD",  "DELE", "LIST", "MDTM", "MKD",  "MODE", "NLST", "NOOP", "PASS", "PASV", "PORT",
    "PWD",  "QUIT", "REST", "RETR", "RMD",  "RNFR", "RNTO", "SIZE", "STAT", "STOR", "SYST", "TYPE",
    "USER", "XMKD", "XPWD", "XRMD", "CDUP", "EPRT", "EPSV", "FEAT", "MLSD", "MLST", "OPTS", "XCUP",
};

CommandCode lookupCommand(const char* verb) {
    for (int code = 0; code < kCommandCount; code++) {
        if (std::strncmp(verb, commandTable[code], 4) == 0) {
            return static_cast<CommandCode>(code);
        }
    }
    return kCodeUnrecognised;
}
