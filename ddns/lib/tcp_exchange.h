// The query exchange over TCP (RFC 1035 4.2.2, RFC 7766), for replies that
// did not fit in a datagram: each message goes with a two-byte length
// before it, and one deadline covers connect, write and read.
#ifndef VINTREL_TCP_EXCHANGE_H
#define VINTREL_TCP_EXCHANGE_H

#include <cstdint>

#include "DnsMessage.h"
#include "endpoint.h"
#include "deadline.h"

// Seconds one TCP exchange may take, connection included: enough for a
// server that trickles a whole reply, short enough for a script to wait.
const int TCP_EXCHANGE_SECONDS = 5;

// How a TCP exchange ended.
enum class TcpOutcome {
    Whole,     // msg holds the reply
    Refused,   // no connection (refused, unreachable, no socket)
    TimedOut,  // the deadline passed first
    Closed,    // reset or closed before the whole reply arrived
    BadReply,  // zero or short length, another identifier, truncated, malformed
};

// Sends msg (its question, its id) to server (IPv4 or IPv6, its port) over
// TCP and decodes the reply into msg, as the datagram exchange would.
TcpOutcome dnsQueryTcp(DnsMessage &msg, const Endpoint &server);

// Reads one length-prefixed reply carrying id from the stream fd (opened
// non-blocking) until deadline, and on Whole decodes it into msg.
TcpOutcome readTcpReply(int fd, DnsMessage &msg, uint16_t id, Clock::time_point deadline);

#endif
