// The IPv6 address `-i auto` registers: this host's stable global address.
#ifndef VINTREL_IPV6_PICK_H
#define VINTREL_IPV6_PICK_H

#include <cstdint>
#include <vector>

// One IPv6 address of an interface, as the kernel lists it.
struct Ipv6Candidate {
    unsigned char address[16];
    unsigned char scope;          // RT_SCOPE_*: 0 universe, 253 link, 254 host
    uint32_t flags;               // IFA_F_*; deprecated once its preferred lifetime ends
};

// Index of the address to register among candidates, or -1: a global
// unicast address, a unique-local one (fc00::/7) only when there is no
// global one; never link-local or host scope, never temporary, deprecated,
// tentative, optimistic or DAD-failed. Among equals, the kernel's own
// source pick (kernelPick, may be null) wins, else the first listed.
int chooseStableIpv6(const std::vector<Ipv6Candidate> &candidates, const unsigned char *kernelPick);

// The address chooseStableIpv6 takes among this host's addresses now, with
// the kernel's pick towards a global destination (public addresses
// preferred) as tie-breaker. False when there is none.
bool stableIpv6Address(unsigned char address[16]);

#endif
