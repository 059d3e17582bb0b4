// A name server's transport address: address family, address, scope and
// port, held as the socket calls take it. It carries a server from the
// command line or the resolver configuration down to the UDP and TCP
// sockets, IPv4 and IPv6 alike.
#ifndef VINTREL_ENDPOINT_H
#define VINTREL_ENDPOINT_H

#include <sys/socket.h>

#include <cstdint>
#include <string>

const int DNS_PORT = 53;

class Endpoint {
public:
    Endpoint();  // none (AF_UNSPEC)

    // An IPv4 address in network order.
    static Endpoint ipv4(uint32_t address, int port = DNS_PORT);
    // The address a socket call filled in (recvfrom, getsockname); none
    // for a family other than IPv4 and IPv6.
    static Endpoint fromSocketAddress(const sockaddr *address, socklen_t length);

    int family() const { return storage.ss_family; }
    bool isSet() const { return family() != AF_UNSPEC; }
    // 0.0.0.0 or ::, which name no server.
    bool isUnspecified() const;
    // The IPv4 address in network order; 0 for any other family.
    uint32_t ipv4Address() const;
    int port() const;
    Endpoint withPort(int port) const;

    const sockaddr *socketAddress() const { return reinterpret_cast<const sockaddr *>(&storage); }
    socklen_t length() const;
    // 192.0.2.1, 2001:db8::1, fe80::1%2 (the scope as an index).
    std::string text() const;

    bool operator==(const Endpoint &other) const;
    // The same family, address and port, whatever the scope or flow label
    // (which the kernel fills in as it sees them).
    bool sameAddressAndPort(const Endpoint &other) const;
    bool operator!=(const Endpoint &other) const { return !(*this == other); }

private:
    sockaddr_storage storage;
};

// What an IPv6 scope that names no interface does to the address.
enum class ScopeErrors {
    Refuse,  // the text is not an address (the command line)
    Ignore,  // the address without a scope (resolv.conf, as the C library reads it)
};

// A server address in text, port 53: IPv4 in every form inet_addr takes
// (255.255.255.255 excepted), or IPv6 with an optional "%scope", an
// interface name (link-local addresses) or a decimal index. An IPv4-mapped
// IPv6 address is taken as the IPv4 address it holds. False for anything
// else, *out untouched.
bool parseServerAddress(const char *text, ScopeErrors scopeErrors, Endpoint *out);

#endif
