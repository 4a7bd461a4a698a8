// platform/posix/firewall.cpp: the firewall on POSIX, which is not read.
#include "platform/platform.h"

#include <cerrno>

#include "platform/posix/internal.h"

// Linux firewalls are many (nftables, iptables, firewalld, ufw), each with its own rules, and
// reading them needs privilege; start-up says nothing rather than guess.
int queryFirewall(FirewallFacts* /*out*/) {
    return fail(ENOSYS);
}
