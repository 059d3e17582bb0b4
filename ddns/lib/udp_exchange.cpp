#include "udp_exchange.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/errqueue.h>

#include <cerrno>
#include <cstring>

#include "resolver_config.h"
#include "socket_message.h"

int ddnsError = 0;
Endpoint current_dns;

namespace {

const int PASSES = 10;
const int WAIT_SECONDS = 2;
// Passes a server is given before the next one is asked: the remembered
// one, and each configured line but the last, which keeps the rest.
const int PASSES_PER_SERVER = 3;

// Ten silent passes and a second to spare: no stream of datagrams can keep
// an exchange alive longer than that.
const Clock::duration EXCHANGE_LIMIT = std::chrono::seconds(UDP_EXCHANGE_SECONDS);
static_assert(UDP_EXCHANGE_SECONDS == PASSES * WAIT_SECONDS + 1, "the passes fit the limit");

int bindOrClose(int s, const Endpoint &local)
{
    if (s >= 0 && bind(s, local.socketAddress(), local.length()) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Waits up to 2 s, and never past deadline, for one of the run's sockets
// to have a datagram or a queued error; that socket, or -1 when none did.
int waitReadable(const QuerySockets &sockets, Clock::time_point deadline)
{
    pollfd p[2] = {{sockets.ipv4(), POLLIN, 0}, {sockets.ipv6(), POLLIN, 0}};
    const int timeout = pollTimeout(deadline, std::chrono::seconds(WAIT_SECONDS));
    if (timeout == 0)
        return -1;
    // poll ignores the negative descriptors of the sockets never opened.
    if (poll(p, 2, timeout) <= 0)
        return -1;
    for (const pollfd &one : p) {
        if (one.fd >= 0 && one.revents != 0)
            return one.fd;
    }
    return -1;
}

bool sendTo(QuerySockets &sockets, const char *buf, int rc, const Endpoint &server)
{
    const int s = sockets.socketFor(server.family());
    return s >= 0 && sendto(s, buf, static_cast<size_t>(rc), 0, server.socketAddress(), server.length()) == rc;
}

// What the kernel reports for a datagram that a server refused: ICMP port,
// host or network unreachable (and their ICMPv6 kin).
bool isRefusal(int error) { return error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH; }

// Takes one error from the socket's error queue. True when there was one;
// *refusedBy is then the server that refused a datagram of this exchange
// (the error quotes its identifier, the first two bytes of sent), or none
// for another kind of error or one about an earlier exchange.
bool takeQueuedError(int s, const char *sent, Endpoint *refusedBy)
{
    sockaddr_storage offender;
    char payload[64];
    alignas(cmsghdr) char control[512];
    iovec iov = {payload, sizeof payload};
    msghdr m = messageHeader(&offender, sizeof offender, &iov, control, sizeof control);
    const ssize_t quoted = recvmsg(s, &m, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (quoted < 0)
        return false;
    *refusedBy = Endpoint();
    if (quoted < 2 || memcmp(payload, sent, 2) != 0)
        return true;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        const bool extended = (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) ||
                              (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR);
        if (!extended || c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err)))
            continue;
        sock_extended_err e;
        memcpy(&e, CMSG_DATA(c), sizeof e);
        if (isRefusal(static_cast<int>(e.ee_errno)))
            *refusedBy = Endpoint::fromSocketAddress(reinterpret_cast<sockaddr *>(&offender), m.msg_namelen);
    }
    return true;
}

// Which server each pass of one exchange sends to. A server named by the
// caller gets every pass. Otherwise the remembered server gets three, then
// the usable lines of the configuration (read once, at most three) take
// turns in file order, three passes each and the last one the rest. A
// server that refuses (an ICMP error for its datagram, a send that fails,
// an address that names no server) gives way to the next at once; a
// named one never does, and once a send to it has failed the remaining
// passes only wait.
class ServerTurns {
public:
    // False when nobody can be asked: no server named or remembered, and
    // no usable line.
    bool begin(const Endpoint &named, const Endpoint &remembered)
    {
        isNamed = named.isSet();
        if (isNamed || remembered.isSet()) {
            servers[0] = isNamed ? named : remembered;
            count = 1;
            return true;
        }
        return readConfiguration();
    }

    // Called as each pass begins: a server that has had its passes gives
    // way. False when no server is left (every one refused, or the
    // remembered one gave way to an empty configuration).
    bool beginPass()
    {
        const bool turnOver = !isNamed && passesSent == PASSES_PER_SERVER && (onRemembered() || current + 1 < count);
        return !turnOver || giveWay();
    }
    // The datagram of this pass went to server().
    void sent() { ++passesSent; }

    // The server of this pass; none when the pass only waits.
    Endpoint server() const { return current < count ? servers[current] : Endpoint(); }
    bool named() const { return isNamed; }
    // Whether the configuration failed to name any server when it was read.
    bool noneConfigured() const { return configurationRead && count == 0; }
    bool refusedNow(const Endpoint &refusedBy) const
    {
        return !isNamed && refusedBy.isSet() && refusedBy.sameAddressAndPort(server());
    }

    // The server of this pass cannot answer: the next takes over in this
    // same pass. False when none is left.
    bool giveWay()
    {
        passesSent = 0;
        if (isNamed) {
            current = count;
            return true;
        }
        if (onRemembered())
            return readConfiguration();
        ++current;
        return current < count;
    }

private:
    bool onRemembered() const { return !configurationRead; }

    bool readConfiguration()
    {
        configurationRead = true;
        current = 0;
        count = getCurrentDns(servers, MAX_NAME_SERVERS);
        return count > 0;
    }

    Endpoint servers[MAX_NAME_SERVERS];
    int count = 0, current = 0, passesSent = 0;
    bool isNamed = false, configurationRead = false;
};

enum class PassStart { Sent, OnlyWait, NextPass, NobodyLeft };

// Sends the pass's datagram to the server whose turn it is, or, when it
// cannot be sent there, to the next ones.
PassStart sendPass(QuerySockets &sockets, const char *buf, int rc, ServerTurns &turns)
{
    for (Endpoint to; (to = turns.server()).isSet();) {
        if (!to.isUnspecified() && sendTo(sockets, buf, rc, to)) {
            turns.sent();
            return PassStart::Sent;
        }
        if (turns.named()) {
            // Without waiting; the rest of the passes only wait.
            ddnsError = 5;
            turns.giveWay();
            return PassStart::NextPass;
        }
        if (!to.isUnspecified() && ddnsError == 0)
            ddnsError = 5;
        if (!turns.giveWay())
            return PassStart::NobodyLeft;
    }
    return PassStart::OnlyWait;
}

// The end of an exchange that has nobody left to ask: the configuration
// named nobody (code 1), or every server refused.
bool nobodyLeft(const ServerTurns &turns)
{
    if (turns.noneConfigured())
        ddnsError = 1;
    else if (ddnsError == 0)
        ddnsError = 2;
    return false;
}

} // namespace

int openUdpSocket(int family, int port)
{
    const int s = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || family != AF_INET6)
        return bindOrClose(s, Endpoint::ipv4(INADDR_ANY, port & 0xFFFF));
    const int on = 1;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
        close(s);
        return -1;
    }
    sockaddr_in6 any;
    memset(&any, 0, sizeof any);
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    return bindOrClose(s, Endpoint::fromSocketAddress(reinterpret_cast<sockaddr *>(&any), sizeof any));
}

int getUdpSocket(bool /*initsock*/, uint32_t ip_src, int port)
{
    return bindOrClose(socket(AF_INET, SOCK_DGRAM, 0), Endpoint::ipv4(ip_src, port & 0xFFFF));
}

QuerySockets::~QuerySockets()
{
    if (ipv4Fd >= 0)
        close(ipv4Fd);
    if (ipv6Fd >= 0)
        close(ipv6Fd);
}

int QuerySockets::socketFor(int family)
{
    if (family != AF_INET && family != AF_INET6)
        return -1;
    int &fd = family == AF_INET ? ipv4Fd : ipv6Fd;
    bool &tried = family == AF_INET ? ipv4Tried : ipv6Tried;
    if (!tried) {
        tried = true;
        fd = openUdpSocket(family, localPort);
        // A server's ICMP refusal lands in the error queue, while the socket
        // stays unconnected and takes replies from any sender.
        const int on = 1;
        if (fd >= 0 && (family == AF_INET ? setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on)
                                          : setsockopt(fd, SOL_IPV6, IPV6_RECVERR, &on, sizeof on)) != 0) {
            close(fd);
            fd = -1;
        }
    }
    return fd;
}

bool dns_query_s(QuerySockets &sockets, DnsMessage &msg, const Endpoint &server, Endpoint *replyFrom,
                 ReplySenders senders)
{
    char buf[DNS_ENCODE_AREA];
    byte_t received[DNS_ENCODE_AREA];
    const uint16_t msg_id = msg.id;
    const int rc = msg.encode(buf);
    if (rc < 0) {
        // Nothing of a message that cannot be written is ever sent.
        ddnsError = 5;
        return false;
    }

    const bool named = server.isSet() && !server.isUnspecified();
    ServerTurns turns;
    if (!turns.begin(named ? server : Endpoint(), named ? Endpoint() : current_dns)) {
        ddnsError = 1;
        return false;
    }

    ddnsError = 0;
    const Clock::time_point deadline = Clock::now() + EXCHANGE_LIMIT;
    // Every pass waits unless its server was given up: nothing is left to
    // ask then, or the next server is asked at once.
    for (int try_count = 0; try_count < PASSES && Clock::now() < deadline; ++try_count) {
        if (!turns.beginPass())
            return nobodyLeft(turns);
        const PassStart start = sendPass(sockets, buf, rc, turns);
        if (start == PassStart::NobodyLeft)
            return nobodyLeft(turns);
        if (start == PassStart::NextPass)
            continue;

        // Every datagram that arrives gives the pass another full wait,
        // up to the deadline of the exchange.
        for (int s; (s = waitReadable(sockets, deadline)) >= 0;) {
            Endpoint refusedBy;
            if (takeQueuedError(s, buf, &refusedBy)) {
                if (!turns.refusedNow(refusedBy))
                    continue;
                if (!turns.giveWay())
                    return nobodyLeft(turns);
                break;
            }
            sockaddr_storage src_addr;
            socklen_t len = sizeof src_addr;
            ssize_t n = recvfrom(s, received, sizeof received, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&src_addr), &len);
            if (n < 0) {
                // A refusal just queued is reported once here too; it is
                // taken from the queue at the next wait.
                if (errno != EAGAIN && !isRefusal(errno) && ddnsError == 0)
                    ddnsError = 6;
                continue;
            }
            const Endpoint sender = Endpoint::fromSocketAddress(reinterpret_cast<sockaddr *>(&src_addr), len);
            if (senders == ReplySenders::ServerOnly && !(named && sender.sameAddressAndPort(server)))
                continue;
            msg.reset();
            msg.decode(received, static_cast<int>(n), false);
            // A datagram whose header the decoder does not read keeps the
            // query's identifier in msg, so it is judged by its size first.
            const bool headerRead = n >= 12 && n <= DNS_MAX_MESSAGE;
            if (!headerRead || msg.id != msg_id)
                continue;
            // Each pass asks one server, so no other reply is to be waited
            // for: the first carrying the identifier wins, with or without
            // answers, whichever server of the exchange it came from.
            if (!named)
                current_dns = sender.withPort(DNS_PORT);
            if (replyFrom)
                *replyFrom = sender.withPort(DNS_PORT);
            if (!msg.answers)
                ddnsError = 3;
            return true;
        }
    }

    if (ddnsError == 0)
        ddnsError = 2;
    return false;
}
