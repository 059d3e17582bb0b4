#include "ddns_utils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "md5.h"

int ddnsError = 0;
uint32_t current_dns = 0;

namespace {

const int DNS_PORT = 53;
const int PASSES = 10;
const int WAIT_SECONDS = 2;
const int SERVER_SLOTS = 11;

sockaddr_in ipv4Address(uint32_t addr, int port)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = addr;
    return sa;
}

// ------------------------------------------------ resolver configuration

const int LINE_SIZE = 200;
const int TOKEN_SIZE = 40;
const int IP_SRV_SIZE = 50;

bool isBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Copies the next white-space separated word of *cursor into word (size
// bytes) and advances *cursor past it. False when there is no word or it
// does not fit; the buffer is never written past its end.
bool nextWord(const char **cursor, char *word, int size)
{
    const char *cp = *cursor;
    while (*cp && isBlank(*cp))
        ++cp;
    const char *start = cp;
    while (*cp && !isBlank(*cp))
        ++cp;
    *cursor = cp;
    const long len = cp - start;
    if (len == 0 || len >= size)
        return false;
    memcpy(word, start, static_cast<size_t>(len));
    word[len] = '\0';
    return true;
}

// Bytes of the configuration read at most: a real one is a few lines.
const long RESOLV_CONF_LIMIT = 64 * 1024;

// Opens path for reading only when it is (or links to) a regular file:
// a FIFO would block the run and a device could be read forever.
FILE *openRegularFile(const char *path)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *f = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        f = fdopen(fd, "r");
    if (!f)
        close(fd);
    return f;
}

// The server a line names, judged by its own first two words.
bool nameserverOfLine(const char *buf, uint32_t *ip)
{
    char token[TOKEN_SIZE];
    char ip_srv[IP_SRV_SIZE];
    const char *cursor = buf;
    if (!nextWord(&cursor, token, sizeof token) || !nextWord(&cursor, ip_srv, sizeof ip_srv))
        return false;
    if (strcasecmp(token, "nameserver") != 0)
        return false;
    *ip = inet_addr(ip_srv);
    return *ip != INADDR_NONE;
}

// ------------------------------------------------ exchange

typedef std::chrono::steady_clock Clock;

// Ten silent passes and a second to spare: no stream of datagrams can keep
// an exchange alive longer than that.
const Clock::duration EXCHANGE_LIMIT = std::chrono::seconds(PASSES * WAIT_SECONDS + 1);

// Waits up to 2 s, and never past deadline, for s to become readable. A
// descriptor that cannot enter the set is never readable: the wait then
// just times out.
bool waitReadable(int s, Clock::time_point deadline)
{
    using std::chrono::microseconds;
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return false;
    const long long wait = std::chrono::duration_cast<microseconds>(
        std::min<Clock::duration>(left, std::chrono::seconds(WAIT_SECONDS))).count();
    fd_set readable;
    FD_ZERO(&readable);
    const bool usable = s >= 0 && s < FD_SETSIZE;
    if (usable)
        FD_SET(s, &readable);
    timeval timeout;
    timeout.tv_sec = static_cast<time_t>(wait / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(wait % 1000000);
    return select(usable ? s + 1 : 0, &readable, nullptr, nullptr, &timeout) > 0 && usable;
}

bool sendTo(int s, const char *buf, int rc, uint32_t server)
{
    sockaddr_in addr = ipv4Address(server, DNS_PORT);
    return sendto(s, buf, static_cast<size_t>(rc), 0, reinterpret_cast<sockaddr *>(&addr),
                  sizeof addr) == rc;
}

// ------------------------------------------------ tokens

void hexDigest(char *hash, const unsigned char *digest)
{
    static const char HEX[] = "0123456789ABCDEF";
    for (int k = 0; k < 16; ++k) {
        hash[2 * k] = HEX[digest[k] >> 4];
        hash[2 * k + 1] = HEX[digest[k] & 0x0F];
    }
    hash[32] = '\0';
}

uint32_t firstBytesSum(const unsigned char *ipv6)
{
    return static_cast<uint32_t>(ipv6[0]) + ipv6[1] + ipv6[2] + ipv6[3];
}

} // namespace

// ------------------------------------------------ UDP endpoint

int getUdpSocket(bool /*initsock*/, uint32_t ip_src, int port)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return -1;
    sockaddr_in local = ipv4Address(ip_src, port & 0xFFFF);
    if (bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(s);
        return -1;
    }
    return s;
}

void closeUdpSocket(int s, bool /*shutdownsock*/) { close(s); }

// Connects a datagram socket of its own towards dest_addr (nothing is
// sent) and reads back the local end; the call results go to *connected
// and *named.
static sockaddr_in localEndTowards(uint32_t dest_addr, int *connected, int *named)
{
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in out = ipv4Address(dest_addr, 0);
    *connected = connect(sock, reinterpret_cast<sockaddr *>(&out), sizeof out);
    socklen_t len = sizeof out;
    *named = getsockname(sock, reinterpret_cast<sockaddr *>(&out), &len);
    if (sock >= 0)
        close(sock);
    return out;
}

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

namespace {

struct Prefix {
    uint32_t network;  // host order
    int length;
};

const Prefix NON_PUBLIC[] = {
    {0x00000000, 8},  {0x0A000000, 8},  {0x64400000, 10}, {0x7F000000, 8},
    {0xA9FE0000, 16}, {0xAC100000, 12}, {0xC0A80000, 16},
};

} // namespace

bool isPublicIpv4(uint32_t addr)
{
    const uint32_t host = ntohl(addr);
    for (const Prefix &p : NON_PUBLIC) {
        if ((host >> (32 - p.length)) == (p.network >> (32 - p.length)))
            return false;
    }
    return true;
}

// ------------------------------------------------ resolver configuration

bool getCurrentDns(uint32_t *ip)
{
    FILE *fin = openRegularFile("/etc/resolv.conf");
    if (!fin)
        return false;
    char buf[LINE_SIZE];
    bool found = false;
    // A line longer than the buffer arrives in pieces, each judged alone.
    while (!found && ftell(fin) < RESOLV_CONF_LIMIT && fgets(buf, sizeof buf, fin))
        found = nameserverOfLine(buf, ip);
    fclose(fin);
    return found;
}

bool getCurrentDns(uint32_t *ip, int /*dummy*/) { return getCurrentDns(ip); }

// ------------------------------------------------ query exchange

bool dns_query_s(int s, DnsMessage &msg, uint32_t ip, uint32_t *replyFrom)
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

    uint32_t dns_servers[SERVER_SLOTS] = {0};
    uint32_t active_dns = ip;
    if (ip == 0) {
        active_dns = current_dns;
        if (active_dns == 0 && !getCurrentDns(dns_servers, 6)) {
            ddnsError = 1;
            return false;
        }
    }

    ddnsError = 0;
    int w_time = 0;
    int try_count = 0;
    const Clock::time_point deadline = Clock::now() + EXCHANGE_LIMIT;

    while (try_count < PASSES) {
        ++try_count;
        if (active_dns != 0) {
            if (!sendTo(s, buf, rc, active_dns)) {
                ddnsError = 5;
                active_dns = 0;
                continue;
            }
        } else {
            for (int k = 0; k < SERVER_SLOTS && dns_servers[k] != 0; ++k) {
                if (!sendTo(s, buf, rc, dns_servers[k]) && ddnsError == 0)
                    ddnsError = 5;
            }
        }

        // Every datagram that arrives gives the pass another full wait,
        // up to the deadline of the exchange.
        while (waitReadable(s, deadline)) {
            sockaddr_in src_addr;
            socklen_t len = sizeof src_addr;
            ssize_t n = recvfrom(s, received, sizeof received, 0,
                                 reinterpret_cast<sockaddr *>(&src_addr), &len);
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
            if (ip == 0)
                current_dns = src_addr.sin_addr.s_addr;
            if (replyFrom)
                *replyFrom = src_addr.sin_addr.s_addr;
            if (!msg.answers)
                ddnsError = 3;
            return true;
        }
        if (Clock::now() >= deadline)
            break;

        w_time += WAIT_SECONDS;
        // A remembered server silent for three passes gives way to the
        // configured one.
        if (w_time > 4 && active_dns != 0 && ip == 0) {
            active_dns = 0;
            if (!getCurrentDns(dns_servers, 6)) {
                ddnsError = 1;
                return false;
            }
        }
    }

    if (ddnsError == 0)
        ddnsError = 2;
    return false;
}

// ------------------------------------------------ update tokens

void makeHash(char *hash, const char *pass, uint32_t ip)
{
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<unsigned char *>(&ip), 4);
    MD5Update(&context, reinterpret_cast<unsigned char *>(const_cast<char *>(pass)),
              static_cast<unsigned int>(strlen(pass)));
    unsigned char digest[16];
    MD5Final(digest, &context);
    hexDigest(hash, digest);
}

bool matchHash(char *hash, const char *pass, uint32_t ip)
{
    char newhash[33];
    makeHash(newhash, pass, ip);
    return strcmp(hash, newhash) == 0;
}

void makeHashv6(char *hash, const char *pass, unsigned char *ipv6)
{
    makeHash(hash, pass, firstBytesSum(ipv6));
}

bool matchHashv6(char *hash, const char *pass, unsigned char *ipv6)
{
    return matchHash(hash, pass, firstBytesSum(ipv6));
}
