// Datagrams from the input queued at a running exchange's socket before it
// sends, followed by a proper reply so that every run ends without waiting.
// Input: repeated [length high][length low][datagram]. Runs inside
// netns-run's namespace, where it may bind port 53.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ddns_utils.h"

namespace {

const uint16_t QUERY_ID = 0x4242;
QuerySockets *client;
int server = -1;
sockaddr_in clientAddress;

void sendToClient(const uint8_t *data, size_t size)
{
    sendto(server, data, size, 0, reinterpret_cast<sockaddr *>(&clientAddress),
           sizeof clientAddress);
}

void drain(int s)
{
    uint8_t buf[2048];
    while (recv(s, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!getenv("VINTREL_IN_NETNS"))
        _exit(77);  // runs only inside netns-run's namespace
    client = new QuerySockets;  // lives as long as the process
    const int ipv4 = client->socketFor(AF_INET);
    server = getUdpSocket(true, inet_addr("127.0.0.1"), 53);
    socklen_t len = sizeof clientAddress;
    getsockname(ipv4, reinterpret_cast<sockaddr *>(&clientAddress), &len);
    clientAddress.sin_addr.s_addr = inet_addr("127.0.0.1");  // bound to any address
    return ipv4 < 0 || server < 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *p = data, *end = data + size;
    for (int n = 0; n < 32 && end - p >= 2; ++n) {
        size_t len = static_cast<size_t>((p[0] << 8) | p[1]) % 1024;
        p += 2;
        if (len > static_cast<size_t>(end - p))
            len = static_cast<size_t>(end - p);
        sendToClient(p, len);
        p += len;
    }
    // The proper reply: "a.test" A 127.0.0.1.
    static const uint8_t reply[] = {0x42, 0x42, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0,
                                    1, 'a', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1,
                                    0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 1};
    sendToClient(reply, sizeof reply);

    DnsMessage msg;
    msg.id = QUERY_ID;
    msg.addQuestion(DNS_TYPE_A, "a.test");
    dns_query_s(*client, msg, Endpoint::ipv4(inet_addr("127.0.0.1")));
    drain(client->ipv4());
    drain(server);
    return 0;
}
