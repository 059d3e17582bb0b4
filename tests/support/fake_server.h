// A scripted UDP name server on a loopback address. It records every
// datagram with its arrival time and answers by its rules: late, from
// another address, repeatedly, with anything the rule's pattern says.
#ifndef VINTREL_TEST_FAKE_SERVER_H
#define VINTREL_TEST_FAKE_SERVER_H

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "wire.h"

// Seconds on a steady clock.
inline double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Datagram {
    Bytes data;
    double at;
    int port;  // the sender's
};

// Which datagrams a rule answers: "#N" the N-th (0 first), "#N+" the N-th
// and those after it, "*" any, "SET" an
// update (opcode 10, no question), else a question type (A, NS or a number).
// The reply is sent `repeat` times, `delay` seconds apart, from `from`
// (empty: the server's own address).
struct Rule {
    std::string key, from, reply;
    double delay = 0;
    int repeat = 1;
};

inline bool ruleMatches(const std::string &key, const Bytes &q, int index)
{
    if (key == "*")
        return true;
    if (key[0] == '#' && key.back() == '+')
        return index >= std::stoi(key.substr(1));
    if (key[0] == '#')
        return std::stoi(key.substr(1)) == index;
    const bool update = q.size() >= 12 && (q[2] >> 3 & 0x0F) == 10 && q[4] == 0 && q[5] == 0;
    if (key == "SET")
        return update;
    const int type = key == "A" ? 1 : key == "NS" ? 2 : std::stoi(key);
    return !update && q.size() >= 16 && q[q.size() - 3] == type && q[q.size() - 4] == 0;
}

// What a server received, in order: a datagram server or a stream one.
class Recorder {
public:
    virtual ~Recorder() = default;
    std::vector<Datagram> received() const
    {
        std::lock_guard<std::mutex> hold(lock);
        return log;
    }

protected:
    // The index of what was recorded.
    int record(const Datagram &d)
    {
        std::lock_guard<std::mutex> hold(lock);
        log.push_back(d);
        return static_cast<int>(log.size()) - 1;
    }

private:
    mutable std::mutex lock;
    std::vector<Datagram> log;
};

// ADDR:port for an IPv4 or IPv6 address (fe80::1%vh: with its scope).
inline sockaddr_storage socketAddress(const std::string &address, int port, socklen_t *length)
{
    sockaddr_storage sa{};
    auto &v4 = reinterpret_cast<sockaddr_in &>(sa);
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(sa);
    const size_t percent = address.find('%');
    if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        *length = sizeof v4;
    } else if (inet_pton(AF_INET6, address.substr(0, percent).c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        if (percent != std::string::npos)
            v6.sin6_scope_id = if_nametoindex(address.substr(percent + 1).c_str());
        *length = sizeof v6;
    } else {
        throw std::runtime_error("not an address: " + address);
    }
    return sa;
}

inline int boundSocket(const std::string &address, int port, int type)
{
    socklen_t length;
    const sockaddr_storage sa = socketAddress(address, port, &length);
    int s = socket(sa.ss_family, type, 0);
    const int on = 1;
    if (s >= 0 && type == SOCK_STREAM)
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (s < 0 || bind(s, reinterpret_cast<const sockaddr *>(&sa), length) != 0)
        throw std::runtime_error("cannot bind " + address);
    return s;
}

inline int boundUdpSocket(const std::string &address, int port) { return boundSocket(address, port, SOCK_DGRAM); }

inline int portOf(const sockaddr_storage &sa)
{
    return ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(sa).sin6_port
                                          : reinterpret_cast<const sockaddr_in &>(sa).sin_port);
}

class FakeServer : public Recorder {
public:
    FakeServer(const std::string &address, std::vector<Rule> rules)
        : listener(boundUdpSocket(address, 53)), rules(std::move(rules)),
          worker([this] { serve(); })
    {
    }

    ~FakeServer() override
    {
        stopping = true;
        worker.join();
        for (std::thread &t : replies)
            t.join();
        close(listener);
    }

private:
    int listener;
    std::vector<Rule> rules;
    std::vector<std::thread> replies;
    std::atomic<bool> stopping{false};
    std::thread worker;

    void sendLater(const Rule &r, const Bytes &data, const sockaddr_storage &to, socklen_t toLength, double at)
    {
        replies.emplace_back([this, r, data, to, toLength, at] {
            int s = r.from.empty() ? listener : boundUdpSocket(r.from, 0);
            for (int n = 1; n <= r.repeat; ++n) {
                while (!stopping && now() < at + n * r.delay)
                    usleep(5000);
                if (stopping)
                    break;
                sendto(s, data.data(), data.size(), 0, reinterpret_cast<const sockaddr *>(&to), toLength);
            }
            if (s != listener)
                close(s);
        });
    }

    void serve()
    {
        while (!stopping) {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            uint8_t buf[2048];
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            ssize_t n = recvfrom(listener, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&peer),
                                 &len);
            if (n < 0)
                continue;
            Bytes query(buf, buf + n);
            const double at = now();
            const int index = record({query, at, portOf(peer)});
            for (const Rule &r : rules) {
                if (ruleMatches(r.key, query, index))
                    sendLater(r, parseBytes(r.reply, query), peer, len, at);
            }
        }
    }
};

// An address where nothing listens on port 53, so that the kernel refuses
// every datagram (ICMP port unreachable); a raw socket sees each one go by
// and records it.
class RefusingServer : public Recorder {
public:
    explicit RefusingServer(const std::string &address)
        : address(socketAddress(address, 53, &length)), watcher(rawSocket()), worker([this] { serve(); })
    {
    }

    ~RefusingServer() override
    {
        stopping = true;
        worker.join();
        close(watcher);
    }

private:
    socklen_t length;
    sockaddr_storage address;
    int watcher;
    std::atomic<bool> stopping{false};
    std::thread worker;

    int rawSocket() const
    {
        const int s = socket(address.ss_family, SOCK_RAW, IPPROTO_UDP);
        const int on = 1;
        if (s < 0 || (address.ss_family == AF_INET6 && setsockopt(s, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0))
            throw std::runtime_error("no raw socket");
        return s;
    }

    // The destination of a datagram seen: IPv4 has it in the header it
    // delivers, IPv6 in the packet information.
    bool toUs(const uint8_t *packet, ssize_t n, msghdr &m, size_t *udp) const
    {
        if (address.ss_family == AF_INET) {
            *udp = (packet[0] & 0x0F) * 4u;
            return n >= 20 && memcmp(packet + 16, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, 4) == 0;
        }
        *udp = 0;
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO)
                return memcmp(&reinterpret_cast<in6_pktinfo *>(CMSG_DATA(c))->ipi6_addr,
                              &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr, 16) == 0;
        }
        return false;
    }

    void serve()
    {
        while (!stopping) {
            pollfd p{watcher, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            uint8_t packet[2048];
            alignas(cmsghdr) char control[256];
            iovec iov{packet, sizeof packet};
            msghdr m{};
            m.msg_iov = &iov;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(watcher, &m, 0);
            size_t udp;
            if (n <= 0 || !toUs(packet, n, m, &udp) || static_cast<size_t>(n) < udp + 8 ||
                (packet[udp + 2] << 8 | packet[udp + 3]) != 53)
                continue;
            record({Bytes(packet + udp + 8, packet + n), now(), packet[udp] << 8 | packet[udp + 1]});
        }
    }
};

// A scripted name server on ADDR:53 over TCP. For each connection it reads
// one length-prefixed query, records it, and then, by its mode:
//   reply BYTES        the reply with its length prefix
//   raw BYTES          the bytes as they are (no prefix added), then closes
//   trickle S BYTES    the prefixed reply one byte every S seconds
//   split S BYTES      the prefixed reply in two writes S seconds apart, the
//                      first ending inside it, the second with 64 bytes more
//   stall              nothing, keeping the connection open
//   reset              closes with a reset
class TcpFakeServer : public Recorder {
public:
    TcpFakeServer(const std::string &address, const std::string &behaviour)
        : listener(listeningSocket(address)), behaviour(behaviour), worker([this] { serve(); })
    {
    }

    ~TcpFakeServer() override
    {
        stopping = true;
        worker.join();
        close(listener);
    }

private:
    int listener;
    std::string behaviour;  // the mode and its arguments
    std::atomic<bool> stopping{false};
    std::thread worker;

    static int listeningSocket(const std::string &address)
    {
        const int s = boundSocket(address, 53, SOCK_STREAM);
        if (listen(s, 4) != 0)
            throw std::runtime_error("cannot listen on " + address);
        return s;
    }

    // Waits up to 10 ms for fd; false when it is not readable.
    static bool readable(int fd)
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10) > 0;
    }

    bool readQuery(int fd, Bytes &query)
    {
        uint8_t buf[2048];
        size_t have = 0;
        const double until = now() + 2;
        while (now() < until && !stopping) {
            if (!readable(fd))
                continue;
            const ssize_t n = recv(fd, buf + have, sizeof buf - have, 0);
            if (n <= 0)
                return false;
            have += static_cast<size_t>(n);
            if (have >= 2 && have >= 2u + (buf[0] << 8 | buf[1])) {
                query.assign(buf + 2, buf + 2 + (buf[0] << 8 | buf[1]));
                return true;
            }
        }
        return false;
    }

    void answer(int fd, const Bytes &query)
    {
        std::istringstream words(behaviour);
        std::string mode;
        double pause = 0;
        words >> mode;
        if (mode == "trickle" || mode == "split")
            words >> pause;
        std::string rest;
        std::getline(words, rest);
        Bytes out = parseBytes(rest, query);
        if (mode == "reply" || mode == "trickle" || mode == "split") {
            out.insert(out.begin(), {static_cast<uint8_t>(out.size() >> 8), static_cast<uint8_t>(out.size())});
        } else if (mode == "stall") {
            while (!stopping)
                usleep(10000);
        } else if (mode == "reset") {
            const linger abort{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        if (mode == "split") {
            const size_t first = out.size() / 2;
            out.insert(out.end(), 64, 0xEE);
            send(fd, out.data(), first, MSG_NOSIGNAL);
            usleep(static_cast<useconds_t>(pause * 1e6));
            send(fd, out.data() + first, out.size() - first, MSG_NOSIGNAL);
            return;
        }
        for (size_t at = 0; at < out.size() && !stopping;) {
            const size_t n = pause > 0 ? 1 : out.size() - at;
            if (send(fd, out.data() + at, n, MSG_NOSIGNAL) < 0)
                break;
            at += n;
            if (pause > 0)
                usleep(static_cast<useconds_t>(pause * 1e6));
        }
    }

    void serve()
    {
        while (!stopping) {
            if (!readable(listener))
                continue;
            const int fd = accept(listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            Bytes query;
            const double at = now();
            if (readQuery(fd, query)) {
                record({query, at, 0});
                answer(fd, query);
            }
            close(fd);
        }
    }
};

#endif
