#include "nat_gateway.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ddns_utils.h"
#include "deadline.h"
#include "netlink_query.h"
#include "socket_message.h"

namespace {

const unsigned char NAT_PMP_VERSION = 0;
const unsigned char NAT_PMP_EXTERNAL_ADDRESS = 0;
const unsigned char NAT_PMP_RESPONSE = 128;
const size_t NAT_PMP_EXTERNAL_SIZE = 12;
const unsigned char PCP_VERSION = 2;
const unsigned char PCP_ANNOUNCE_RESPONSE = 0x80;  // R bit, opcode ANNOUNCE (0)
const unsigned char PCP_SUCCESS = 0;  // the result code, the header's fourth byte
const size_t PCP_HEADER_SIZE = 24;
const size_t PCP_MAX_SIZE = 1100;
// RFC 6886 starts at 250 ms and doubles; three sends are enough on a LAN
// and keep a check short when the gateway stays silent.
const int RESEND_AFTER_MS[] = {250, 500, 1000};
// One deadline for a whole episode, resends included.
const Clock::duration NAT_PMP_EPISODE = std::chrono::seconds(NAT_PMP_EPISODE_SECONDS);
// A flood must not keep the watcher reading: the rest waits for the next poll.
const int MOST_DATAGRAMS_AT_ONCE = 256;

sockaddr_in endpoint(uint32_t address, uint16_t port)
{
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = htons(port);
    return to;
}

} // namespace

bool readRoute(const char *buf, size_t size, uint32_t *gateway, int *ifindex)
{
    const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buf);
    if (size < sizeof *h || h->nlmsg_len > size || h->nlmsg_type != RTM_NEWROUTE ||
        h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return false;
    const rtmsg *r = static_cast<const rtmsg *>(NLMSG_DATA(h));
    *gateway = 0;
    *ifindex = 0;
    int left = static_cast<int>(RTM_PAYLOAD(h));
    for (const rtattr *a = RTM_RTA(r); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) == 4)
            memcpy(gateway, RTA_DATA(a), 4);
        else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) == 4)
            memcpy(ifindex, RTA_DATA(a), 4);
    }
    return *ifindex != 0;
}

bool routeTowards(uint32_t dest, uint32_t *gateway, int *ifindex)
{
    struct {
        nlmsghdr header;
        rtmsg body;
        char attributes[RTA_SPACE(4)];
    } request;
    static_assert(sizeof request == NLMSG_LENGTH(sizeof(rtmsg)) + RTA_SPACE(4), "no padding in the request");
    prepareRequest(request, RTM_GETROUTE);
    request.body.rtm_family = AF_INET;
    request.body.rtm_dst_len = 32;
    rtattr *destination = reinterpret_cast<rtattr *>(request.attributes);
    destination->rta_type = RTA_DST;
    destination->rta_len = RTA_LENGTH(4);
    memcpy(RTA_DATA(destination), &dest, 4);
    bool found = false;
    askKernel(&request, sizeof request, [&](const nlmsghdr *h) {
        found = readRoute(reinterpret_cast<const char *>(h), h->nlmsg_len, gateway, ifindex);
    });
    return found;
}

GatewayAnswer readExternalAddressReply(const unsigned char *data, size_t size, uint32_t *external)
{
    if (size != NAT_PMP_EXTERNAL_SIZE || data[0] != NAT_PMP_VERSION ||
        data[1] != (NAT_PMP_RESPONSE | NAT_PMP_EXTERNAL_ADDRESS))
        return GatewayAnswer::Malformed;
    if (data[2] != 0 || data[3] != 0)
        return GatewayAnswer::Refused;
    memcpy(external, data + 8, 4);
    return isPublicIpv4(*external) ? GatewayAnswer::Public : GatewayAnswer::NotPublic;
}

GatewayAnswer askExternalAddress(uint32_t gateway, uint32_t *external)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return GatewayAnswer::NoAnswer;
    // Connected: the kernel passes on only datagrams from the gateway's
    // NAT-PMP port, and reports a closed port as ECONNREFUSED.
    const sockaddr_in to = endpoint(gateway, NAT_PMP_PORT);
    GatewayAnswer answer = GatewayAnswer::NoAnswer;
    if (connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        close(s);
        return answer;
    }
    const unsigned char request[2] = {NAT_PMP_VERSION, NAT_PMP_EXTERNAL_ADDRESS};
    // Every send and wait is scheduled from the start: datagrams that are
    // no answer (from a faulty router, or forged) cannot stretch the episode.
    const Clock::time_point start = Clock::now();
    Clock::time_point resendAt = start;
    for (int waitMs : RESEND_AFTER_MS) {
        if (send(s, request, sizeof request, 0) != static_cast<ssize_t>(sizeof request))
            break;
        resendAt += std::chrono::milliseconds(waitMs);
        const Clock::time_point until = std::min(resendAt, start + NAT_PMP_EPISODE);
        pollfd p = {s, POLLIN, 0};
        int timeout;
        while (answer == GatewayAnswer::NoAnswer && (timeout = pollTimeout(until, NAT_PMP_EPISODE)) > 0 &&
               poll(&p, 1, timeout) > 0) {
            unsigned char reply[NAT_PMP_EXTERNAL_SIZE + 1];
            const ssize_t n = recv(s, reply, sizeof reply, 0);
            if (n < 0) {
                close(s);
                return GatewayAnswer::NoAnswer;  // refused: no NAT-PMP there
            }
            const GatewayAnswer read = readExternalAddressReply(reply, static_cast<size_t>(n), external);
            if (read != GatewayAnswer::Malformed)
                answer = read;
        }
        if (answer != GatewayAnswer::NoAnswer)
            break;
    }
    close(s);
    return answer;
}

bool isAnnouncement(const unsigned char *data, size_t size)
{
    // An error response says nothing new about the address: only a
    // successful one counts.
    if (size == NAT_PMP_EXTERNAL_SIZE)
        return data[0] == NAT_PMP_VERSION && data[1] == (NAT_PMP_RESPONSE | NAT_PMP_EXTERNAL_ADDRESS) &&
               data[2] == 0 && data[3] == 0;
    return size >= PCP_HEADER_SIZE && size <= PCP_MAX_SIZE && size % 4 == 0 && data[0] == PCP_VERSION &&
           data[1] == PCP_ANNOUNCE_RESPONSE && data[3] == PCP_SUCCESS;
}

int openAnnouncementSocket()
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    // Every watcher on this host (one per name) hears each announcement,
    // but only on the interface it joined the group on (the one towards
    // the gateway), which each datagram names (IP_PKTINFO).
    const int on = 1, off = 0;
    const sockaddr_in group = endpoint(inet_addr(ANNOUNCEMENT_GROUP), ANNOUNCEMENT_PORT);
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        bind(s, reinterpret_cast<const sockaddr *>(&group), sizeof group) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool followAnnouncements(int fd, int ifindex, int *joined)
{
    if (ifindex == *joined)
        return true;
    ip_mreqn membership;
    memset(&membership, 0, sizeof membership);
    membership.imr_multiaddr.s_addr = inet_addr(ANNOUNCEMENT_GROUP);
    if (*joined != 0) {
        membership.imr_ifindex = *joined;
        setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership, sizeof membership);
        *joined = 0;
    }
    if (ifindex == 0)
        return true;
    membership.imr_ifindex = ifindex;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return false;
    *joined = ifindex;
    return true;
}

namespace {

// The interface a datagram arrived on, from its IP_PKTINFO; 0 when absent.
int arrivalInterface(msghdr &header)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            return info.ipi_ifindex;
        }
    }
    return 0;
}

} // namespace

bool takeAnnouncements(int fd, uint32_t gateway, int ifindex)
{
    bool heard = false;
    for (int k = 0; k < MOST_DATAGRAMS_AT_ONCE; ++k) {
        unsigned char data[PCP_MAX_SIZE];
        sockaddr_in from;
        iovec part = {data, sizeof data};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr header = messageHeader(&from, sizeof from, &part, control, sizeof control);
        // MSG_TRUNC: n is the datagram's real size, so an oversized one is
        // seen as such and not read as its first bytes.
        const ssize_t n = recvmsg(fd, &header, MSG_TRUNC);
        if (n < 0)
            break;
        const size_t size = static_cast<size_t>(n);
        const bool fromGateway = gateway != 0 && ifindex != 0 && header.msg_namelen >= sizeof from &&
                                 from.sin_addr.s_addr == gateway && arrivalInterface(header) == ifindex;
        if (fromGateway && size <= sizeof data && isAnnouncement(data, size))
            heard = true;
    }
    return heard;
}
