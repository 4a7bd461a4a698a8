// platform/windows/firewall.cpp: what Windows Firewall does with incoming TCP connections, read
// through its own COM interface (INetFwPolicy2 of hnetcfg.dll), and never changed.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <netfw.h>
#include <oleauto.h>

#include <cerrno>

#include "platform/firewall_text.h"
#include "platform/windows/internal.h"

static_assert(kFirewallDomain == NET_FW_PROFILE2_DOMAIN &&
                  kFirewallPrivate == NET_FW_PROFILE2_PRIVATE &&
                  kFirewallPublic == NET_FW_PROFILE2_PUBLIC,
              "our profile bits are the firewall's own");
static constexpr unsigned kFirewallProfiles[] = {kFirewallDomain, kFirewallPrivate,
                                                 kFirewallPublic};
// NET_FW_IP_PROTOCOL_ANY, which MinGW's icftypes.h lacks.
static constexpr LONG kAnyProtocol = 256;
// A bound on the rules read; a firewall with more is not judged at all. Windows comes with
// some 500, and group policy may add a few thousand.
static constexpr long kMostRules = 100000;

using RuleTextGetter = HRESULT (STDMETHODCALLTYPE INetFwRule::*)(BSTR*);

// The text of a rule's property.
struct RuleTexts {
    wchar_t application[kLongPathSize];
    wchar_t service[kLongPathSize];
    wchar_t localPorts[kLongPathSize];
    wchar_t name[kLongPathSize];
};

// A COM call failed: its HRESULT is a system error number that FormatMessage knows.
static int failWithResult(HRESULT result) {
    recordError(static_cast<int>(result), ErrorSource::kSystem);
    return -1;
}

static int readProfiles(INetFwPolicy2* policy, FirewallFacts* out) {
    LONG current = 0;
    HRESULT result = policy->get_CurrentProfileTypes(&current);
    if (FAILED(result)) {
        return failWithResult(result);
    }
    for (unsigned profile : kFirewallProfiles) {
        if ((static_cast<unsigned>(current) & profile) == 0) {
            continue;
        }
        auto type = static_cast<NET_FW_PROFILE_TYPE2>(profile);
        VARIANT_BOOL enabled = VARIANT_FALSE;
        VARIANT_BOOL blocksAll = VARIANT_FALSE;
        NET_FW_ACTION unmatched = NET_FW_ACTION_ALLOW;
        result = policy->get_FirewallEnabled(type, &enabled);
        if (SUCCEEDED(result)) {
            result = policy->get_BlockAllInboundTraffic(type, &blocksAll);
        }
        if (SUCCEEDED(result)) {
            result = policy->get_DefaultInboundAction(type, &unmatched);
        }
        if (FAILED(result)) {
            return failWithResult(result);
        }
        out->currentProfiles |= profile;
        if (enabled == VARIANT_FALSE) {
            continue;
        }
        out->enabledProfiles |= profile;
        out->guardedProfiles |= unmatched == NET_FW_ACTION_BLOCK ? profile : 0;
        out->closedProfiles |= blocksAll != VARIANT_FALSE ? profile : 0;
    }
    return 0;
}

static int readRuleText(INetFwRule* rule, RuleTextGetter get, wchar_t* out) {
    BSTR text = nullptr;
    HRESULT result = (rule->*get)(&text);
    if (FAILED(result)) {
        return failWithResult(result);
    }
    int status = copyWideText(out, kLongPathSize, text != nullptr ? text : L"");
    SysFreeString(text);
    return status;
}

static int readRuleTexts(INetFwRule* rule, RuleTexts* out) {
    if (readRuleText(rule, &INetFwRule::get_ApplicationName, out->application) != 0 ||
        readRuleText(rule, &INetFwRule::get_ServiceName, out->service) != 0 ||
        readRuleText(rule, &INetFwRule::get_LocalPorts, out->localPorts) != 0 ||
        readRuleText(rule, &INetFwRule::get_Name, out->name) != 0) {
        return -1;
    }
    return 0;
}

// Rules may name the program with variables ("%ProgramFiles%\..."), which the firewall expands
// as it matches; letter case does not count, as in every Windows path.
static bool isProgramRule(const wchar_t* application, const wchar_t* programPath) {
    wchar_t expanded[kLongPathSize];
    DWORD length = ExpandEnvironmentStringsW(application, expanded, kLongPathSize);
    if (length == 0 || length > kLongPathSize) {
        return false;
    }
    return isSameWideName(expanded, wcslen(expanded), programPath, wcslen(programPath));
}

// Adds what one rule tells of incoming TCP connections to this program to out.
static int readRule(INetFwRule* rule, const wchar_t* programPath, FirewallFacts* out) {
    VARIANT_BOOL enabled = VARIANT_FALSE;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_OUT;
    NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
    LONG protocol = 0;
    LONG profiles = 0;
    HRESULT result = rule->get_Enabled(&enabled);
    if (SUCCEEDED(result)) {
        result = rule->get_Direction(&direction);
    }
    if (SUCCEEDED(result)) {
        result = rule->get_Action(&action);
    }
    if (SUCCEEDED(result)) {
        result = rule->get_Protocol(&protocol);
    }
    if (SUCCEEDED(result)) {
        result = rule->get_Profiles(&profiles);
    }
    if (FAILED(result)) {
        return failWithResult(result);
    }
    unsigned applies = static_cast<unsigned>(profiles) & out->enabledProfiles;
    if (enabled == VARIANT_FALSE || direction != NET_FW_RULE_DIR_IN || applies == 0 ||
        (protocol != NET_FW_IP_PROTOCOL_TCP && protocol != kAnyProtocol)) {
        return 0;
    }
    RuleTexts texts;
    if (readRuleTexts(rule, &texts) != 0) {
        return -1;
    }
    // A service's rule lets that service in alone, and a program's rule that program alone.
    bool isOurs = texts.application[0] != L'\0' && isProgramRule(texts.application, programPath);
    if (texts.service[0] != L'\0' || (texts.application[0] != L'\0' && !isOurs)) {
        return 0;
    }
    if (action == NET_FW_ACTION_BLOCK) {
        if (isOurs && out->programBlockedProfiles == 0) {
            (void)toUtf8Text(texts.name, out->blockingRuleName, sizeof out->blockingRuleName);
        }
        out->programBlockedProfiles |= isOurs ? applies : 0;
        return 0;
    }
    char ports[kLongPathTextSize];
    if (toUtf8Text(texts.localPorts, ports, sizeof ports) != 0) {
        return -1;
    }
    addFirewallPorts(out, ports, applies);
    return 0;
}

static int readRuleItem(VARIANT* item, const wchar_t* programPath, FirewallFacts* out) {
    if (item->vt != VT_DISPATCH || item->pdispVal == nullptr) {
        return failWithRuntimeError(EINVAL);
    }
    INetFwRule* rule = nullptr;
    HRESULT result =
        item->pdispVal->QueryInterface(__uuidof(INetFwRule), reinterpret_cast<void**>(&rule));
    if (FAILED(result)) {
        return failWithResult(result);
    }
    int status = readRule(rule, programPath, out);
    rule->Release();
    return status;
}

static int readEachRule(IEnumVARIANT* rules, const wchar_t* programPath, FirewallFacts* out) {
    for (long i = 0; i < kMostRules; i++) {
        VARIANT item;
        VariantInit(&item);
        ULONG fetched = 0;
        HRESULT result = rules->Next(1, &item, &fetched);
        if (FAILED(result)) {
            return failWithResult(result);
        }
        if (result == S_FALSE || fetched == 0) {
            return 0;
        }
        int status = readRuleItem(&item, programPath, out);
        (void)VariantClear(&item);  // releases the rule; nothing to do if it fails
        if (status != 0) {
            return -1;
        }
    }
    return failWithRuntimeError(E2BIG);
}

static int readRules(INetFwPolicy2* policy, const wchar_t* programPath, FirewallFacts* out) {
    INetFwRules* rules = nullptr;
    HRESULT result = policy->get_Rules(&rules);
    if (FAILED(result)) {
        return failWithResult(result);
    }
    IUnknown* unknown = nullptr;
    result = rules->get__NewEnum(&unknown);
    rules->Release();
    if (FAILED(result)) {
        return failWithResult(result);
    }
    IEnumVARIANT* each = nullptr;
    result = unknown->QueryInterface(__uuidof(IEnumVARIANT), reinterpret_cast<void**>(&each));
    unknown->Release();
    if (FAILED(result)) {
        return failWithResult(result);
    }
    int status = readEachRule(each, programPath, out);
    each->Release();
    return status;
}

static int readPolicy(const wchar_t* programPath, FirewallFacts* out) {
    INetFwPolicy2* policy = nullptr;
    HRESULT result = CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER,
                                      __uuidof(INetFwPolicy2), reinterpret_cast<void**>(&policy));
    if (FAILED(result)) {
        return failWithResult(result);
    }
    int status = readProfiles(policy, out);
    // Where the firewall is off, no rule counts.
    if (status == 0 && out->enabledProfiles != 0) {
        status = readRules(policy, programPath, out);
    }
    policy->Release();
    return status;
}

int queryFirewall(FirewallFacts* out) {
    *out = FirewallFacts{};
    wchar_t programPath[kLongPathSize];
    DWORD length = GetModuleFileNameW(nullptr, programPath, static_cast<DWORD>(kLongPathSize));
    if (length == 0) {
        return failWithSystemError();
    }
    if (length >= kLongPathSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    // COM for this thread alone, and only for the query. A thread that already has it in the
    // other model (RPC_E_CHANGED_MODE) may use it as it is, but must not end it.
    HRESULT started = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(started) && started != RPC_E_CHANGED_MODE) {
        return failWithResult(started);
    }
    int status = readPolicy(programPath, out);
    if (SUCCEEDED(started)) {
        CoUninitialize();
    }
    return status;
}
