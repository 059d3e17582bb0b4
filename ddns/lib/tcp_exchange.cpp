#include "tcp_exchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Waits until fd is ready for events or the deadline passes; false then.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const int timeout = pollTimeout(deadline, Clock::duration::max());
        if (timeout == 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, timeout);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// Fills size bytes at buf from fd. Closed when the stream ends or fails
// before they are all there.
TcpOutcome readFully(int fd, byte_t *buf, size_t size, Clock::time_point deadline)
{
    size_t have = 0;
    while (have < size) {
        const ssize_t n = recv(fd, buf + have, size - have, 0);
        if (n > 0) {
            have += static_cast<size_t>(n);
        } else if (n == 0) {
            return TcpOutcome::Closed;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLIN, deadline))
                return TcpOutcome::TimedOut;
        } else if (errno != EINTR) {
            return TcpOutcome::Closed;
        }
    }
    return TcpOutcome::Whole;
}

TcpOutcome writeFully(int fd, const char *buf, size_t size, Clock::time_point deadline)
{
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(fd, buf + sent, size - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLOUT, deadline))
                return TcpOutcome::TimedOut;
        } else if (errno != EINTR) {
            return TcpOutcome::Closed;
        }
    }
    return TcpOutcome::Whole;
}

// A non-blocking stream connected to server before deadline, or -1 with
// the reason in *outcome.
int connectTo(const Endpoint &server, Clock::time_point deadline, TcpOutcome *outcome)
{
    *outcome = TcpOutcome::Refused;
    const int fd = socket(server.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, server.socketAddress(), server.length()) == 0)
        return fd;
    if (errno == EINPROGRESS) {
        int error = 0;
        socklen_t len = sizeof error;
        if (!waitFor(fd, POLLOUT, deadline))
            *outcome = TcpOutcome::TimedOut;
        else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
            return fd;
    }
    close(fd);
    return -1;
}

// A reply is taken whole only when every record of it can be read; the
// listing then reads it as it reads a datagram.
bool wellFormed(const byte_t *reply, int size, uint16_t id)
{
    DnsMessage check;
    return size >= 12 && (reply[0] << 8 | reply[1]) == id &&
           check.decode(reply, size, true, DNS_MAX_TCP_MESSAGE) && !(check.flags & DNS_FLAG_TC);
}

} // namespace

TcpOutcome readTcpReply(int fd, DnsMessage &msg, uint16_t id, Clock::time_point deadline)
{
    byte_t prefix[2];
    TcpOutcome outcome = readFully(fd, prefix, sizeof prefix, deadline);
    if (outcome != TcpOutcome::Whole)
        return outcome;
    const size_t length = static_cast<size_t>(prefix[0] << 8 | prefix[1]);
    if (length < 12)
        return TcpOutcome::BadReply;
    std::vector<byte_t> reply(length);
    outcome = readFully(fd, reply.data(), length, deadline);
    if (outcome != TcpOutcome::Whole)
        return outcome;
    const int size = static_cast<int>(length);
    if (!wellFormed(reply.data(), size, id))
        return TcpOutcome::BadReply;
    msg.reset();
    msg.decode(reply.data(), size, false, DNS_MAX_TCP_MESSAGE);
    return TcpOutcome::Whole;
}

TcpOutcome dnsQueryTcp(DnsMessage &msg, const Endpoint &server)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(TCP_EXCHANGE_SECONDS);
    char framed[2 + DNS_ENCODE_AREA];
    const int rc = msg.encode(framed + 2);
    if (rc < 0)
        return TcpOutcome::BadReply;
    framed[0] = static_cast<char>(rc >> 8);
    framed[1] = static_cast<char>(rc & 0xFF);

    TcpOutcome outcome;
    const int fd = connectTo(server, deadline, &outcome);
    if (fd < 0)
        return outcome;
    outcome = writeFully(fd, framed, static_cast<size_t>(rc) + 2, deadline);
    if (outcome == TcpOutcome::Whole)
        outcome = readTcpReply(fd, msg, msg.id, deadline);
    close(fd);
    return outcome;
}
