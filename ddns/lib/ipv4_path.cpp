#include "ipv4_path.h"

#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "nat_gateway.h"
#include "netlink_query.h"
#include "route_probe.h"

bool Ipv4Path::operator==(const Ipv4Path &other) const
{
    return gateway == other.gateway && ifindex == other.ifindex && source == other.source &&
           addresses == other.addresses && carrierChanges == other.carrierChanges;
}

std::vector<uint32_t> interfaceIpv4Addresses(int ifindex)
{
    std::vector<uint32_t> found;
    dumpAddresses(AF_INET, [&](const nlmsghdr *h) {
        const ifaddrmsg *ifa = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof *ifa) || ifa->ifa_family != AF_INET ||
            static_cast<int>(ifa->ifa_index) != ifindex)
            return;
        int left = static_cast<int>(IFA_PAYLOAD(h));
        for (const rtattr *a = IFA_RTA(ifa); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
            if (a->rta_type == IFA_LOCAL && RTA_PAYLOAD(a) == 4) {
                uint32_t address;
                memcpy(&address, RTA_DATA(a), 4);
                found.push_back(address);
            }
        }
    });
    std::sort(found.begin(), found.end());
    return found;
}

uint32_t carrierChanges(int ifindex)
{
    struct {
        nlmsghdr header;
        ifinfomsg body;
    } request;
    prepareRequest(request, RTM_GETLINK);
    request.body.ifi_family = AF_UNSPEC;
    request.body.ifi_index = ifindex;
    uint32_t changes = 0;
    askKernel(&request, sizeof request, [&](const nlmsghdr *h) {
        const ifinfomsg *ifi = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
        if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof *ifi))
            return;
        int left = static_cast<int>(IFLA_PAYLOAD(h));
        for (const rtattr *a = IFLA_RTA(ifi); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
            if (a->rta_type == IFLA_CARRIER_CHANGES && RTA_PAYLOAD(a) == 4)
                memcpy(&changes, RTA_DATA(a), 4);
        }
    });
    return changes;
}

Ipv4Path ipv4PathTowards(uint32_t server)
{
    Ipv4Path path;
    if (server == 0 || !routeTowards(server, &path.gateway, &path.ifindex)) {
        path.gateway = 0;
        path.ifindex = 0;
        return path;
    }
    localAddressTowards(server, &path.source);
    path.addresses = interfaceIpv4Addresses(path.ifindex);
    path.carrierChanges = carrierChanges(path.ifindex);
    return path;
}
