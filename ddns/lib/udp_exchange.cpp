#include "udp_exchange.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "resolver_config.h"

int ddnsError = 0;
Endpoint current_dns;

namespace {

const int PASSES = 10;
const int WAIT_SECONDS = 2;

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
// to become readable; that socket, or -1 when none became readable.
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

// The configured server an exchange sends to, and which usable line of the
// configuration named it.
struct ConfiguredServer {
    Endpoint server;
    int line = 0;
    bool known = false;

    bool readFirst()
    {
        line = 0;
        known = getCurrentDns(&server);
        return known;
    }
};

// Sends to the configured server; when the send fails at once (no route,
// no socket of its family), the next usable line takes its place and gets
// the datagram. Sets ddnsError 5 when no line took it. An unspecified
// address is never sent to.
void sendToConfigured(QuerySockets &sockets, const char *buf, int rc, ConfiguredServer &c)
{
    while (c.known && !c.server.isUnspecified()) {
        if (sendTo(sockets, buf, rc, c.server))
            return;
        Endpoint next;
        if (!getCurrentDns(&next, c.line + 1)) {
            if (ddnsError == 0)
                ddnsError = 5;
            return;
        }
        c.server = next;
        ++c.line;
    }
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
    }
    return fd;
}

bool dns_query_s(QuerySockets &sockets, DnsMessage &msg, const Endpoint &server, Endpoint *replyFrom)
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
    ConfiguredServer configured;
    Endpoint active_dns = named ? server : current_dns;
    if (!active_dns.isSet() && !configured.readFirst()) {
        ddnsError = 1;
        return false;
    }

    ddnsError = 0;
    int w_time = 0;
    int try_count = 0;
    const Clock::time_point deadline = Clock::now() + EXCHANGE_LIMIT;

    while (try_count < PASSES) {
        ++try_count;
        if (active_dns.isSet()) {
            if (!sendTo(sockets, buf, rc, active_dns)) {
                // The rest of the passes go to the configured server, which
                // was not read: they only wait.
                ddnsError = 5;
                active_dns = Endpoint();
                continue;
            }
        } else {
            sendToConfigured(sockets, buf, rc, configured);
        }

        // Every datagram that arrives gives the pass another full wait,
        // up to the deadline of the exchange.
        for (int s; (s = waitReadable(sockets, deadline)) >= 0;) {
            sockaddr_storage src_addr;
            socklen_t len = sizeof src_addr;
            ssize_t n = recvfrom(s, received, sizeof received, 0, reinterpret_cast<sockaddr *>(&src_addr), &len);
            if (n < 0) {
                if (ddnsError == 0)
                    ddnsError = 6;
                continue;
            }
            msg.reset();
            msg.decode(received, static_cast<int>(n), false);
            // A datagram whose header the decoder does not read keeps the
            // query's identifier in msg, so it is judged by its size first.
            const bool headerRead = n >= 12 && n <= DNS_MAX_MESSAGE;
            if (!headerRead || msg.id != msg_id)
                continue;
            // The list never holds more than one server, so no other reply
            // is to be waited for: the first carrying the identifier wins,
            // with or without answers.
            const Endpoint sender =
                Endpoint::fromSocketAddress(reinterpret_cast<sockaddr *>(&src_addr), len).withPort(DNS_PORT);
            if (!named)
                current_dns = sender;
            if (replyFrom)
                *replyFrom = sender;
            if (!msg.answers)
                ddnsError = 3;
            return true;
        }
        if (Clock::now() >= deadline)
            break;

        w_time += WAIT_SECONDS;
        // A remembered server silent for three passes gives way to the
        // configured one.
        if (w_time > 4 && active_dns.isSet() && !named) {
            active_dns = Endpoint();
            if (!configured.readFirst()) {
                ddnsError = 1;
                return false;
            }
        }
    }

    if (ddnsError == 0)
        ddnsError = 2;
    return false;
}
