// The TCP reply reader on a byte stream from the input: a stream socket
// holding the input, then its end, read as the reply to a query with
// identifier 0x4242. Whatever the stream holds, the reader ends without a
// crash and without reading outside what it was given.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "tcp_exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    const int room = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = write(pair[1], data + sent, size - sent);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    close(pair[1]);
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    DnsMessage msg;
    msg.id = 0x4242;
    msg.addQuestion(DNS_TYPE_A, "a.test");
    readTcpReply(pair[0], msg, msg.id, std::chrono::steady_clock::now() + std::chrono::seconds(1));
    close(pair[0]);
    return 0;
}
