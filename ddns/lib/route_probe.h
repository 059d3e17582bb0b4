// The local IPv4 address facing a server, and whether an address can be
// reached from the Internet.
#ifndef VINTREL_ROUTE_PROBE_H
#define VINTREL_ROUTE_PROBE_H

#include <cstdint>

// The local address the system would use to reach dest_addr, found by
// connecting a datagram socket of its own (nothing is sent). Prints four
// diagnostic lines on every call. False, with *if_addr untouched, when there
// is no route.
bool getBestInterfaceAddress(uint32_t dest_addr, uint32_t *if_addr);
// The same, printing nothing.
bool localAddressTowards(uint32_t dest_addr, uint32_t *if_addr);

// False for the addresses that cannot be reached from the Internet, as a
// host behind a NAT router holds them: 0/8, 10/8, 100.64/10 (carrier-grade
// NAT), 127/8, 169.254/16, 172.16/12, 192.168/16 (network order).
bool isPublicIpv4(uint32_t addr);

#endif
