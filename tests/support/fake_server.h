// A scripted UDP name server on a loopback address, for exchange tests. It
// records every datagram with its arrival time and answers as the test's
// script says: late, from another address, with garbage, or not at all.
#ifndef VINTREL_TEST_FAKE_SERVER_H
#define VINTREL_TEST_FAKE_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
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

struct Reply {
    Bytes data;
    double delay;      // seconds after the query arrived
    std::string from;  // source address; empty: the server's own

    Reply(Bytes data, double delay = 0, std::string from = "")
        : data(std::move(data)), delay(delay), from(std::move(from))
    {
    }
};

// Replies to the index-th datagram (0 first) the server received.
typedef std::function<std::vector<Reply>(const Bytes &query, int index)> Script;

inline int boundUdpSocket(const std::string &address, int port)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = inet_addr(address.c_str());
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        throw std::runtime_error("cannot bind " + address);
    return s;
}

class FakeServer {
public:
    explicit FakeServer(const std::string &address, Script script = nullptr)
        : listener(boundUdpSocket(address, 53)), script(std::move(script)),
          worker([this] { serve(); })
    {
    }

    ~FakeServer()
    {
        stopping = true;
        worker.join();
        for (std::thread &t : replies)
            t.join();
        close(listener);
    }

    std::vector<Datagram> received() const
    {
        std::lock_guard<std::mutex> hold(lock);
        return log;
    }

private:
    int listener;
    Script script;
    std::vector<std::thread> replies;
    mutable std::mutex lock;
    std::vector<Datagram> log;
    std::atomic<bool> stopping{false};
    std::thread worker;

    // Sends r to the peer r.delay seconds after the query arrived at `at`.
    void sendLater(const Reply &r, const sockaddr_in &to, double at)
    {
        replies.emplace_back([this, r, to, at] {
            std::this_thread::sleep_for(std::chrono::duration<double>(at + r.delay - now()));
            int s = r.from.empty() ? listener : boundUdpSocket(r.from, 0);
            sendto(s, r.data.data(), r.data.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                   sizeof to);
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
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            ssize_t n = recvfrom(listener, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&peer),
                                 &len);
            if (n < 0)
                continue;
            Bytes query(buf, buf + n);
            const double at = now();
            int index;
            {
                std::lock_guard<std::mutex> hold(lock);
                index = static_cast<int>(log.size());
                log.push_back({query, at, ntohs(peer.sin_port)});
            }
            if (script) {
                for (const Reply &r : script(query, index))
                    sendLater(r, peer, at);
            }
        }
    }
};

// A reply to query: its identifier and questions, flags 0x8180 | rcode, and
// the given answer records.
inline Bytes replyTo(const Bytes &query, int rcode = 0, const Bytes &answers = Bytes(),
                     int ancount = 0)
{
    Bytes reply = query;
    reply[2] = 0x81;
    reply[3] = static_cast<uint8_t>(0x80 | rcode);
    reply[6] = 0;
    reply[7] = static_cast<uint8_t>(ancount);
    return reply + answers;
}

// An A record owned by the first question's name.
inline Bytes aRecord(const char *address)
{
    in_addr a;
    inet_pton(AF_INET, address, &a);
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&a);
    return hex("C0 0C 00 01 00 01 00 00 0E 10 00 04") + Bytes(b, b + 4);
}

inline Bytes answerA(const Bytes &query, const char *address)
{
    return replyTo(query, 0, aRecord(address), 1);
}

#endif
