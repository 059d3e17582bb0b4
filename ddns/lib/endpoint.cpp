#include "endpoint.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const sockaddr_in &asIpv4(const sockaddr_storage &s) { return reinterpret_cast<const sockaddr_in &>(s); }
const sockaddr_in6 &asIpv6(const sockaddr_storage &s) { return reinterpret_cast<const sockaddr_in6 &>(s); }

// The scope of an IPv6 address as the C library reads it: an interface
// name for the link-local scopes, else a decimal number.
bool scopeOf(const in6_addr &address, const char *scope, uint32_t *index)
{
    if (IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_MC_LINKLOCAL(&address) ||
        IN6_IS_ADDR_MC_NODELOCAL(&address)) {
        const unsigned named = if_nametoindex(scope);
        if (named != 0) {
            *index = named;
            return true;
        }
    }
    if (!isdigit(static_cast<unsigned char>(scope[0])))
        return false;
    char *end;
    errno = 0;
    const unsigned long long number = strtoull(scope, &end, 10);
    if (*end != '\0' || errno != 0 || number > UINT32_MAX)
        return false;
    *index = static_cast<uint32_t>(number);
    return true;
}

Endpoint ipv6(const in6_addr &address, uint32_t scope)
{
    sockaddr_in6 sa;
    memset(&sa, 0, sizeof sa);
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(DNS_PORT);
    sa.sin6_addr = address;
    sa.sin6_scope_id = scope;
    return Endpoint::fromSocketAddress(reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
}

} // namespace

Endpoint::Endpoint()
{
    memset(&storage, 0, sizeof storage);
    storage.ss_family = AF_UNSPEC;
}

Endpoint Endpoint::ipv4(uint32_t address, int port)
{
    Endpoint e;
    sockaddr_in &sa = reinterpret_cast<sockaddr_in &>(e.storage);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = address;
    return e;
}

Endpoint Endpoint::fromSocketAddress(const sockaddr *address, socklen_t length)
{
    Endpoint e;
    const bool known = (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) ||
                       (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6));
    if (known)
        memcpy(&e.storage, address, address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    return e;
}

bool Endpoint::isUnspecified() const
{
    if (family() == AF_INET)
        return asIpv4(storage).sin_addr.s_addr == INADDR_ANY;
    return family() == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&asIpv6(storage).sin6_addr);
}

uint32_t Endpoint::ipv4Address() const { return family() == AF_INET ? asIpv4(storage).sin_addr.s_addr : 0; }

int Endpoint::port() const
{
    if (family() == AF_INET)
        return ntohs(asIpv4(storage).sin_port);
    return family() == AF_INET6 ? ntohs(asIpv6(storage).sin6_port) : 0;
}

Endpoint Endpoint::withPort(int port) const
{
    Endpoint e = *this;
    const uint16_t net = htons(static_cast<uint16_t>(port));
    if (family() == AF_INET)
        reinterpret_cast<sockaddr_in &>(e.storage).sin_port = net;
    else if (family() == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(e.storage).sin6_port = net;
    return e;
}

socklen_t Endpoint::length() const
{
    if (family() == AF_INET)
        return sizeof(sockaddr_in);
    return family() == AF_INET6 ? sizeof(sockaddr_in6) : 0;
}

std::string Endpoint::text() const
{
    char text[INET6_ADDRSTRLEN];
    if (family() == AF_INET)
        return inet_ntop(AF_INET, &asIpv4(storage).sin_addr, text, sizeof text);
    if (family() != AF_INET6)
        return "";
    const sockaddr_in6 &sa = asIpv6(storage);
    std::string shown = inet_ntop(AF_INET6, &sa.sin6_addr, text, sizeof text);
    if (sa.sin6_scope_id != 0)
        shown += "%" + std::to_string(sa.sin6_scope_id);
    return shown;
}

bool Endpoint::operator==(const Endpoint &other) const
{
    return family() == other.family() && memcmp(&storage, &other.storage, length()) == 0;
}

bool Endpoint::sameAddressAndPort(const Endpoint &other) const
{
    if (family() != other.family() || port() != other.port())
        return false;
    if (family() == AF_INET6)
        return IN6_ARE_ADDR_EQUAL(&asIpv6(storage).sin6_addr, &asIpv6(other.storage).sin6_addr);
    return ipv4Address() == other.ipv4Address();
}

bool parseServerAddress(const char *text, ScopeErrors scopeErrors, Endpoint *out)
{
    const uint32_t v4 = inet_addr(text);
    if (v4 != INADDR_NONE) {
        *out = Endpoint::ipv4(v4);
        return true;
    }
    char address[INET6_ADDRSTRLEN];
    const char *percent = strchr(text, '%');
    const size_t length = percent ? static_cast<size_t>(percent - text) : strlen(text);
    in6_addr a6;
    if (length >= sizeof address)
        return false;
    memcpy(address, text, length);
    address[length] = '\0';
    if (inet_pton(AF_INET6, address, &a6) != 1)
        return false;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
        if (percent)
            return false;
        uint32_t mapped;
        memcpy(&mapped, &a6.s6_addr[12], 4);
        if (mapped == INADDR_NONE)
            return false;  // as inet_addr refuses it
        *out = Endpoint::ipv4(mapped);
        return true;
    }
    uint32_t scope = 0;
    if (percent && !scopeOf(a6, percent + 1, &scope) && scopeErrors == ScopeErrors::Refuse)
        return false;
    *out = ipv6(a6, scope);
    return true;
}
