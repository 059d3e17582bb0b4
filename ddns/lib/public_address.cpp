#include "public_address.h"

#include "nat_gateway.h"
#include "query_id.h"
#include "route_probe.h"

uint32_t autoAddress(uint32_t server, uint32_t *local)
{
    *local = 0;
    if (server == 0 || !localAddressTowards(server, local))
        return 0;
    return isPublicIpv4(*local) ? *local : 0;
}

uint32_t firstAnswerAddress(const DnsMessage &reply)
{
    for (const DnsRR *rr = reply.answers; rr; rr = rr->next) {
        if (rr->type == DNS_TYPE_A)
            return rr->ip_pref;
    }
    return 0;
}

PublicView learnPublicAddress(QuerySockets &sockets, uint32_t server, const char *name)
{
    PublicView view;
    uint32_t gateway = 0;
    int ifindex;
    if (routeTowards(server, &gateway, &ifindex) && gateway != 0 &&
        askExternalAddress(gateway, &view.address) == GatewayAnswer::Public) {
        view.source = PublicSource::Gateway;
        return view;
    }
    // No NAT-PMP answer, an error, or a router behind another NAT: the
    // server says what it sees, which is what it would register.
    DnsMessage myip;
    myip.id = newQueryId();
    myip.setOpcode(OPCODE_DDNS);
    myip.addQuestion(DNS_TYPE_A, name);
    // Only the server may say: a LAN host that answers first would have our
    // own token sign its address. What it says must be public too (a
    // private, shared, multicast or all-ones address is nobody's).
    const Endpoint updateServer = Endpoint::ipv4(server);
    const bool answered = dns_query_s(sockets, myip, updateServer, nullptr, ReplySenders::ServerOnly);
    view.address = answered ? firstAnswerAddress(myip) : 0;
    if (isPublicIpv4(view.address))
        view.source = PublicSource::Server;
    else
        view.address = 0;
    return view;
}
