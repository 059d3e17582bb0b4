// The query exchange over UDP: the run's sockets, and one question sent to
// a name server in up to 10 passes until the reply carrying its identifier
// arrives.
#ifndef VINTREL_UDP_EXCHANGE_H
#define VINTREL_UDP_EXCHANGE_H

#include <cstdint>

#include "DnsMessage.h"
#include "endpoint.h"
#include "deadline.h"

// Seconds one exchange may take at most, whatever arrives: ten passes of
// 2 s and one to spare.
const int UDP_EXCHANGE_SECONDS = 21;

// How the last exchange ended:
//   0 reply with answers, 1 no name server known, 2 no reply,
//   3 reply without answers, 5 a send failed, 6 a receive failed.
extern int ddnsError;
// Server that sent the last reply accepted by an exchange made without an
// explicit server (port 53); none until one succeeds.
extern Endpoint current_dns;

// A UDP socket of family (AF_INET or AF_INET6) bound to the local port
// given by the low 16 bits of port (0: any), or -1. An IPv6 socket carries
// IPv6 only, so that an IPv4 socket of the same port can live beside it.
int openUdpSocket(int family, int port);
// An IPv4 UDP socket bound to ip_src (0: any) and the low 16 bits of port
// (0: any), or -1. initsock has no effect.
int getUdpSocket(bool initsock, uint32_t ip_src, int port);

// The datagram sockets of one run, one per address family, each opened
// when a server of its family is first sent to and bound to the run's
// local port (-b), with ICMP errors queued (IP_RECVERR). A socket that
// cannot be opened or bound stays -1, and every send through it fails.
class QuerySockets {
public:
    explicit QuerySockets(int localPort = 0) : localPort(localPort) {}
    ~QuerySockets();
    QuerySockets(const QuerySockets &) = delete;
    QuerySockets &operator=(const QuerySockets &) = delete;

    // The socket for family, opened on first use; -1 when it cannot be had.
    int socketFor(int family);
    // The sockets opened so far (-1 where none), for the wait.
    int ipv4() const { return ipv4Fd; }
    int ipv6() const { return ipv6Fd; }

private:
    int localPort;
    int ipv4Fd = -1, ipv6Fd = -1;
    bool ipv4Tried = false, ipv6Tried = false;
};

// Sends msg to port 53 of server (none, or an unspecified address: the
// remembered server, else the first three usable lines of the
// configuration, in turn) in up to 10 passes of 2 s, and decodes the
// datagram carrying msg.id back into msg. True when such a
// reply was accepted; ddnsError tells more. replyFrom, when given, receives
// the address the accepted reply came from (port 53).
//
// Replies are taken from any sender, as the name servers expect, unless
// senders is ServerOnly: then a datagram from anywhere but the named
// server's address and port 53 is ignored as a foreign one is (for what
// only the update server may say, the address it sees).
enum class ReplySenders { Any, ServerOnly };
bool dns_query_s(QuerySockets &sockets, DnsMessage &msg, const Endpoint &server,
                 Endpoint *replyFrom = nullptr, ReplySenders senders = ReplySenders::Any);

#endif
