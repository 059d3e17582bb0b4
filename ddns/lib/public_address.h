// The address the Internet sees for this host: the local one when it is
// public, else what the NAT router (NAT-PMP) or the update server (MYIP)
// says it is.
#ifndef VINTREL_PUBLIC_ADDRESS_H
#define VINTREL_PUBLIC_ADDRESS_H

#include <cstdint>

#include "DnsMessage.h"
#include "udp_exchange.h"

// Who gave a public address.
enum class PublicSource : uint8_t {
    None,     // nobody: nothing usable came back
    Gateway,  // the NAT router's external address (NAT-PMP)
    Server,   // the address the update server sees (MYIP)
};

struct PublicView {
    uint32_t address = 0;  // network order; 0 with PublicSource::None
    PublicSource source = PublicSource::None;
};

// -a auto: the local address facing server when it is public; else 0 (the
// host is behind NAT, or has no route). *local gets the local address (0
// without a route).
uint32_t autoAddress(uint32_t server, uint32_t *local);

// The public address as the gateway towards server (NAT-PMP) or else the
// update server itself (MYIP for name, through sockets) gives it; prints
// nothing.
PublicView learnPublicAddress(QuerySockets &sockets, uint32_t server, const char *name);

// The address of the first A record among the answers of a reply (a CNAME
// may come before it), or 0 when there is none.
uint32_t firstAnswerAddress(const DnsMessage &reply);

#endif
