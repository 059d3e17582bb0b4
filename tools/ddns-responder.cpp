// A minimal update server of the dynamic-address service, for tests and the
// demo (it is not installed with vintrel).
//
//   ddns-responder ADDRESS PASSWORD [LOG]
//
// Listens on ADDRESS port 53. An update (opcode 10 without a question) has
// the token of every 201/203 record checked against PASSWORD; address 0
// stands for the datagram's source. Accepted registrations are appended to
// LOG (or standard output) as "name A address" / "name AAAA address", and the
// reply carries code 0, or 5 when a token is wrong. A MYIP question (opcode
// 10 with an A question) is answered with an A record of the sender's
// address. Anything else gets code 4 (not implemented).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DnsMessage.h"
#include "ddns_utils.h"

namespace {

const int RCODE_OK = 0;
const int RCODE_NOT_IMPLEMENTED = 4;
const int RCODE_REFUSED = 5;

int opcodeOf(const DnsMessage &m) { return (m.flags >> 11) & 0x0F; }

std::string textOf(int family, const void *address)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(family, address, text, sizeof text);
    return text;
}

// Checks every update record; the registrations when all tokens are right.
bool checkUpdate(DnsMessage &query, const char *password, uint32_t source,
                 std::vector<std::string> &registered)
{
    for (DnsRR *rr = query.answers; rr; rr = rr->next) {
        if (!rr->resource || !rr->owner)
            return false;
        if (rr->type == DNS_TYPE_SETA) {
            if (!matchHash(rr->resource, password, rr->ip_pref))
                return false;
            // Address 0 registers the sender's address; the log says which way.
            uint32_t address = rr->ip_pref ? rr->ip_pref : source;
            registered.push_back(std::string(rr->owner) + " A " + textOf(AF_INET, &address) +
                                 (rr->ip_pref ? "" : " (seen)"));
        } else if (rr->type == DNS_TYPE_SETAAAA) {
            if (!matchHashv6(rr->resource, password, rr->ipv6))
                return false;
            registered.push_back(std::string(rr->owner) + " AAAA " + textOf(AF_INET6, rr->ipv6));
        }
    }
    return true;
}

void answer(int s, const byte_t *datagram, int size, const sockaddr_in &peer,
            const char *password, FILE *log)
{
    DnsMessage query;
    if (!query.decode(datagram, size, true))
        return;
    DnsMessage reply;
    reply.id = query.id;
    int rcode = RCODE_NOT_IMPLEMENTED;
    if (opcodeOf(query) == OPCODE_DDNS && query.questions &&
        query.questions->type == DNS_TYPE_A) {
        reply.addQuestion(DNS_TYPE_A, query.questions->owner);
        DnsRR *rr = new DnsRR;
        rr->type = DNS_TYPE_A;
        rr->setOwner(query.questions->owner);
        rr->ip_pref = peer.sin_addr.s_addr;
        reply.addAnswer(rr);
        rcode = RCODE_OK;
    }
    std::vector<std::string> registered;
    if (opcodeOf(query) == OPCODE_DDNS && !query.questions)
        rcode = checkUpdate(query, password, peer.sin_addr.s_addr, registered) ? RCODE_OK
                                                                              : RCODE_REFUSED;
    reply.flags = static_cast<uint16_t>(0x8000 | (query.flags & 0x7900) | rcode);
    char out[DNS_ENCODE_AREA];
    int n = reply.encode(out);
    if (n > 0)
        sendto(s, out, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr *>(&peer),
               sizeof peer);
    // Logged once the reply is on its way: a test that changes the network
    // when it reads the log cannot strand the reply.
    for (const std::string &line : registered)
        fprintf(log, "%s\n", line.c_str());
    fflush(log);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: ddns-responder ADDRESS PASSWORD [LOG]\n");
        return 2;
    }
    FILE *log = argc == 4 ? fopen(argv[3], "a") : stdout;
    int s = getUdpSocket(true, inet_addr(argv[1]), 53);
    if (s < 0 || !log) {
        perror("ddns-responder");
        return 1;
    }
    for (;;) {
        byte_t datagram[DNS_ENCODE_AREA];
        sockaddr_in peer;
        socklen_t len = sizeof peer;
        ssize_t n = recvfrom(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&peer),
                             &len);
        if (n > 0)
            answer(s, datagram, static_cast<int>(n), peer, argv[2], log);
    }
}
