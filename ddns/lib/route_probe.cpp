#include "route_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "endpoint.h"

namespace {

// Connects a datagram socket of its own towards dest_addr (nothing is
// sent) and reads back the local end; the call results go to *connected
// and *named.
sockaddr_in localEndTowards(uint32_t dest_addr, int *connected, int *named)
{
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const Endpoint dest = Endpoint::ipv4(dest_addr, 0);
    *connected = connect(sock, dest.socketAddress(), dest.length());
    sockaddr_in out;
    memcpy(&out, dest.socketAddress(), sizeof out);  // what is shown when no socket could be had
    socklen_t len = sizeof out;
    *named = getsockname(sock, reinterpret_cast<sockaddr *>(&out), &len);
    if (sock >= 0)
        close(sock);
    return out;
}

struct Prefix {
    uint32_t network;  // host order
    int length;
};

// Addresses that are never someone's address on the Internet; the
// documentation ranges (192.0.2/24, 198.51.100/24, 203.0.113/24) are left
// public, as the examples and the tests use them.
const Prefix NON_PUBLIC[] = {
    {0x00000000, 8},   // "this network": no host has it
    {0x0A000000, 8},   // private (RFC 1918)
    {0x64400000, 10},  // shared by carrier-grade NAT (RFC 6598)
    {0x7F000000, 8},   // loopback
    {0xA9FE0000, 16},  // link-local (RFC 3927)
    {0xAC100000, 12},  // private (RFC 1918)
    {0xC0000000, 24},  // IETF protocol assignments: DS-Lite's B4 (192.0.0.2), ...
    {0xC0A80000, 16},  // private (RFC 1918)
    {0xC6120000, 15},  // benchmarking (RFC 2544)
    {0xE0000000, 4},   // multicast: a group, never a host
    {0xF0000000, 4},   // reserved, and the limited broadcast 255.255.255.255
};

} // namespace

bool localAddressTowards(uint32_t dest_addr, uint32_t *if_addr)
{
    int connected, named;
    const sockaddr_in out = localEndTowards(dest_addr, &connected, &named);
    if (connected != 0 || named != 0)
        return false;
    *if_addr = out.sin_addr.s_addr;
    return true;
}

bool getBestInterfaceAddress(uint32_t dest_addr, uint32_t *if_addr)
{
    int connected, named;
    const sockaddr_in out = localEndTowards(dest_addr, &connected, &named);
    printf("rc=%d\n", connected);
    printf("rc=%d\n", named);
    printf("Sock IP address: %s\n", inet_ntoa(out.sin_addr));
    printf("Sock port      : %d\n", ntohs(out.sin_port));
    const bool found = connected == 0 && named == 0;
    if (found)
        memcpy(if_addr, &out.sin_addr.s_addr, 4);
    return found;
}

bool isPublicIpv4(uint32_t addr)
{
    const uint32_t host = ntohl(addr);
    for (const Prefix &p : NON_PUBLIC) {
        if ((host >> (32 - p.length)) == (p.network >> (32 - p.length)))
            return false;
    }
    return true;
}
