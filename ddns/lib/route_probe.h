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

// False for the addresses that are nobody's address on the Internet (network
// order): those a host behind a NAT router holds (10/8, 172.16/12,
// 192.168/16, 100.64/10, 169.254/16), 0/8, 127/8, 192.0.0/24, 198.18/15,
// multicast and reserved (224/4, 240/4, broadcast included).
bool isPublicIpv4(uint32_t addr);

#endif
