// The home router's side of learning the public address: the gateway that
// faces the update server, its NAT-PMP external-address answer (RFC 6886),
// and the announcements it multicasts when that address changes (NAT-PMP
// and PCP ANNOUNCE, RFC 6887), which only say "ask again".
#ifndef VINTREL_NAT_GATEWAY_H
#define VINTREL_NAT_GATEWAY_H

#include <cstddef>
#include <cstdint>

const uint16_t NAT_PMP_PORT = 5351;       // the gateway's
const uint16_t ANNOUNCEMENT_PORT = 5350;  // the clients'
const char ANNOUNCEMENT_GROUP[] = "224.0.0.1";

// The next hop of the kernel's route towards dest (0 when dest is on a
// local link) and the interface it leaves by. False without a route.
bool routeTowards(uint32_t dest, uint32_t *gateway, int *ifindex);

// Reads the kernel's answer to that lookup (size bytes at buf, aligned for
// a netlink header): false for an error, no interface, or a message cut
// short. *gateway is 0 when the route has no next hop.
bool readRoute(const char *buf, size_t size, uint32_t *gateway, int *ifindex);

enum class GatewayAnswer {
    Public,     // the gateway holds a public external address
    NotPublic,  // it answered with a reserved one (a router behind another NAT)
    Refused,    // it answered with an error (NAT-PMP off, no address yet, ...)
    NoAnswer,   // nothing usable came back
    Malformed,  // not an external-address response
};

// Reads a datagram from the gateway as a NAT-PMP external-address
// response; *external gets the address of a successful one.
GatewayAnswer readExternalAddressReply(const unsigned char *data, size_t size, uint32_t *external);

// Seconds a NAT-PMP episode (request, resends, answer) may take at most.
const int NAT_PMP_EPISODE_SECONDS = 2;

// Asks gateway for its external address: a request, resent after 250,
// 500 and 1000 ms without an answer, all within one deadline of 2 s from
// the start, whatever else the gateway sends meanwhile.
GatewayAnswer askExternalAddress(uint32_t gateway, uint32_t *external);

// True for a successful NAT-PMP external-address response or PCP ANNOUNCE
// response, the two forms a gateway announces a new address in.
bool isAnnouncement(const unsigned char *data, size_t size);

// A non-blocking socket on the announcement group and port, shared with
// any other listener on this host, hearing only the interfaces it joins
// the group on; -1 on failure.
int openAnnouncementSocket();

// Makes fd hear the group on interface ifindex (leaving the one it heard it
// on before, *joined, which is updated). False when the kernel refused.
bool followAnnouncements(int fd, int ifindex, int *joined);

// Reads the waiting datagrams (a bounded number); true when one of them is
// an announcement that comes from gateway's address (0: none is accepted)
// and arrived on interface ifindex, the one towards the gateway.
bool takeAnnouncements(int fd, uint32_t gateway, int ifindex);

#endif
