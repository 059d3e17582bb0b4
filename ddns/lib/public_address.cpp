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
    view.address = dns_query_s(sockets, myip, Endpoint::ipv4(server)) ? firstAnswerAddress(myip) : 0;
    if (view.address != 0)
        view.source = PublicSource::Server;
    return view;
}
