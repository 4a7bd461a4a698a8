// session/command_table.h: the verbs and their codes: the 28 of the original table, then the
// extensions today's clients use.
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
    kCodeCdup,  // 28: the extensions start here
    kCodeEprt,
    kCodeEpsv,
    kCodeFeat,
    kCodeMlsd,
    kCodeMlst,
    kCodeOpts,
    kCodeXcup,
    kCodeUnrecognised,
    kCodeBadArgument,  // a known verb whose argument holds a control byte
};

constexpr int kCommandCount = kCodeUnrecognised;

// The verbs in code order.
extern const char* const commandTable[kCommandCount];

// The code of an upper-case verb: the first row equal in at most four characters (so STORE
// is STOR, while CWDX is nothing), or kCodeUnrecognised.
CommandCode lookupCommand(const char* verb);
