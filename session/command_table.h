// session/command_table.h: the 28 verbs and their codes.
#pragma once

enum CommandCode : int {
    kCodeLost = -1,  // the control connection was lost
    kCodeAbor = 0,
    kCodeCwd,
    kCodeDele,
    kCodeList,
    kCodeMdtm,
    kCodeMkd,
    kCodeMode,
    kCodeNlst,
    kCodeNoop,
    kCodePass,
    kCodePasv,
    kCodePort,
    kCodePwd,
    kCodeQuit,
    kCodeRest,
    kCodeRetr,
    kCodeRmd,
    kCodeRnfr,
    kCodeRnto,
    kCodeSize,
    kCodeStat,
    kCodeStor,
    kCodeSyst,
    kCodeType,
    kCodeUser,
    kCodeXmkd,
    kCodeXpwd,
    kCodeXrmd,
    kCodeUnrecognised,  // 28
};

constexpr int kCommandCount = 28;

// The verbs in code order.
extern const char* const commandTable[kCommandCount];

// The code of an upper-case verb: the first row equal in at most four characters (so STORE
// is STOR, while CWDX is nothing), or kCodeUnrecognised.
CommandCode lookupCommand(const char* verb);
