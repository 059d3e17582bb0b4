#include "ipv6_pick.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "netlink_query.h"

#ifndef IPV6_PREFER_SRC_PUBLIC
#define IPV6_PREFER_SRC_PUBLIC 0x0002  // linux/in6.h, which clashes with netinet/in.h
#endif

namespace {

const uint32_t UNUSABLE = IFA_F_TEMPORARY | IFA_F_DEPRECATED | IFA_F_TENTATIVE | IFA_F_OPTIMISTIC |
                          IFA_F_DADFAILED;

// 1 global unicast, 2 unique-local, 0 not to be registered.
int rank(const Ipv6Candidate &c)
{
    if (c.scope != RT_SCOPE_UNIVERSE || (c.flags & UNUSABLE) != 0)
        return 0;
    return (c.address[0] & 0xFE) == 0xFC ? 2 : 1;
}

// Any address in 2000::/3 stands for "a global destination": connecting a
// datagram socket to it only consults the routing table, nothing is sent.
const char GLOBAL_DESTINATION[] = "2000::1";

// The source address the kernel would use towards a global destination,
// public addresses preferred over temporary ones. False without a route.
bool kernelSourcePick(unsigned char address[16])
{
    const int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    const int prefer = IPV6_PREFER_SRC_PUBLIC;
    setsockopt(s, IPPROTO_IPV6, IPV6_ADDR_PREFERENCES, &prefer, sizeof prefer);
    sockaddr_in6 to;
    memset(&to, 0, sizeof to);
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(53);
    inet_pton(AF_INET6, GLOBAL_DESTINATION, &to.sin6_addr);
    socklen_t len = sizeof to;
    const bool found = connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
                       getsockname(s, reinterpret_cast<sockaddr *>(&to), &len) == 0;
    close(s);
    if (found)
        memcpy(address, &to.sin6_addr, 16);
    return found;
}

// Reads one address message of a dump into c; false when it is not IPv6.
bool candidateOf(const nlmsghdr *h, Ipv6Candidate &c)
{
    const ifaddrmsg *ifa = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof *ifa) || ifa->ifa_family != AF_INET6)
        return false;
    memset(&c, 0, sizeof c);
    c.scope = ifa->ifa_scope;
    c.flags = ifa->ifa_flags;  // the flags that matter here all fit in its 8 bits
    bool haveAddress = false;
    int left = static_cast<int>(IFA_PAYLOAD(h));
    for (const rtattr *a = IFA_RTA(ifa); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == IFA_ADDRESS && RTA_PAYLOAD(a) == 16) {
            memcpy(c.address, RTA_DATA(a), 16);
            haveAddress = true;
        }
    }
    return haveAddress;
}

// This host's IPv6 addresses, from a dump of the kernel's address table.
std::vector<Ipv6Candidate> listIpv6Addresses()
{
    std::vector<Ipv6Candidate> all;
    dumpAddresses(AF_INET6, [&all](const nlmsghdr *h) {
        Ipv6Candidate c;
        if (candidateOf(h, c))
            all.push_back(c);
    });
    return all;
}

} // namespace

int chooseStableIpv6(const std::vector<Ipv6Candidate> &candidates, const unsigned char *kernelPick)
{
    int best = -1, bestRank = 0;
    for (size_t k = 0; k < candidates.size(); ++k) {
        const int r = rank(candidates[k]);
        const bool picked = kernelPick && memcmp(candidates[k].address, kernelPick, 16) == 0;
        if (r != 0 && (best < 0 || r < bestRank || (r == bestRank && picked))) {
            best = static_cast<int>(k);
            bestRank = r;
        }
    }
    return best;
}

bool stableIpv6Address(unsigned char address[16])
{
    unsigned char picked[16];
    const bool kernelPicked = kernelSourcePick(picked);
    const std::vector<Ipv6Candidate> all = listIpv6Addresses();
    const int k = chooseStableIpv6(all, kernelPicked ? picked : nullptr);
    if (k < 0)
        return false;
    memcpy(address, all[static_cast<size_t>(k)].address, 16);
    return true;
}
