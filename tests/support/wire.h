// Helpers for writing DNS datagrams in tests as readable hex text.
#ifndef VINTREL_TEST_WIRE_H
#define VINTREL_TEST_WIRE_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DnsMessage.h"

typedef std::vector<uint8_t> Bytes;

// "12 34 0a" -> {0x12, 0x34, 0x0a}; blanks anywhere are ignored.
inline Bytes hex(const std::string &text)
{
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != '\n')
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

inline Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Dotted text as uncompressed labels ending in the root.
inline Bytes labels(const std::string &name)
{
    Bytes out;
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        out.push_back(static_cast<uint8_t>(dot - start));
        out.insert(out.end(), name.begin() + start, name.begin() + dot);
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

inline Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// The encoding of msg, or an empty vector when encode fails.
inline Bytes encoded(DnsMessage &msg)
{
    char area[DNS_ENCODE_AREA];
    int n = msg.encode(area);
    return n < 0 ? Bytes() : Bytes(area, area + n);
}

inline DnsRR *record(uint32_t type, const char *owner, const char *resource = nullptr,
                     uint32_t ttl = 0, uint32_t ip_pref = 0)
{
    DnsRR *rr = new DnsRR;
    rr->type = type;
    rr->ttl = ttl;
    rr->ip_pref = ip_pref;
    rr->setOwner(owner);
    if (resource)
        rr->setResource(resource);
    return rr;
}

#endif
