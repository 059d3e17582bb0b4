// What this host can see of the way its IPv4 datagrams take towards the
// update server: behind a NAT router, the public address can only have
// changed when some of it did (or when the router says so).
#ifndef VINTREL_IPV4_PATH_H
#define VINTREL_IPV4_PATH_H

#include <cstdint>
#include <vector>

struct Ipv4Path {
    uint32_t gateway = 0;             // the next hop; 0 on the local link
    int ifindex = 0;                  // the interface the route leaves by; 0: no route
    uint32_t source = 0;              // the local address the kernel picks
    std::vector<uint32_t> addresses;  // the interface's IPv4 addresses, in order
    uint32_t carrierChanges = 0;      // a link down and up again counts here

    bool operator==(const Ipv4Path &other) const;
    bool operator!=(const Ipv4Path &other) const { return !(*this == other); }
};

// The path towards server (network order) as the kernel sees it now.
Ipv4Path ipv4PathTowards(uint32_t server);

// The IPv4 addresses of interface ifindex, in increasing order.
std::vector<uint32_t> interfaceIpv4Addresses(int ifindex);

// How often the carrier of interface ifindex went down or up (0 when the
// kernel does not say).
uint32_t carrierChanges(int ifindex);

#endif
