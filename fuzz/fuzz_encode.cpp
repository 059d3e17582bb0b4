// Builds a message from the input (names and texts with any bytes, any
// types, resources present or not), encodes it into a heap area of exactly
// the size the exchange provides, and checks that whatever was written
// decodes back to the records that were kept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DnsMessage.h"

namespace {

struct Input {
    const uint8_t *p, *end;
    uint8_t byte() { return p < end ? *p++ : 0; }
    uint32_t word()
    {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i)
            w = (w << 8) | byte();
        return w;
    }
    // A text of up to 300 bytes; NUL bytes end it early, as they would in C.
    std::string text()
    {
        size_t len = byte() + (byte() & 1) * 256;
        std::string s;
        while (len-- && p < end)
            s += static_cast<char>(*p++);
        return s.substr(0, s.find('\0'));
    }
};

// The name the encoder writes for a text: up to its first empty label,
// without a final dot.
std::string wireName(const std::string &name)
{
    std::string out;
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == start)
            break;
        if (dot == std::string::npos)
            dot = name.size();
        out += (out.empty() ? "" : ".") + name.substr(start, dot - start);
        start = dot + 1;
    }
    return out;
}

std::string str(const char *s) { return s ? s : ""; }

bool isNameType(uint32_t t) { return t == 2 || t == 5 || t == 6 || t == 12 || t == 15; }

bool sameRecord(const DnsRR *sent, const DnsRR *got)
{
    if (sent->type != got->type || sent->ttl != got->ttl ||
        wireName(str(sent->owner)) != str(got->owner))
        return false;
    switch (sent->type) {
    case DNS_TYPE_A:
    case DNS_TYPE_SOA:
    case DNS_TYPE_SETA: return sent->ip_pref == got->ip_pref;
    case DNS_TYPE_AAAA: return memcmp(sent->ipv6, got->ipv6, 16) == 0;
    case DNS_TYPE_MX: return (sent->ip_pref & 0xFFFF) == got->ip_pref;
    case DNS_TYPE_SETAAAA: return memcmp(sent->ipv6, got->ipv6, 16) == 0;
    default: return true;
    }
}

bool sameData(const DnsRR *sent, const DnsRR *got)
{
    if (!sameRecord(sent, got))
        return false;
    if (isNameType(sent->type))
        return wireName(str(sent->resource)) == str(got->resource);
    if (sent->type == 16 || sent->type == 201 || sent->type == 203)
        return str(sent->resource) == str(got->resource);
    return true;
}

// Every decoded record must be one of the sent ones, in order; records the
// 512-byte rule left out are simply absent.
void checkSection(const DnsRR *sent, const DnsRR *got)
{
    for (; got; got = got->next) {
        while (sent && !sameData(sent, got))
            sent = sent->next;
        if (!sent)
            abort();
        sent = sent->next;
    }
}

const uint32_t TYPES[] = {1, 2, 5, 6, 12, 13, 15, 16, 28, 201, 202, 203, 255, 0};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, data + size};
    DnsMessage msg;
    msg.id = static_cast<uint16_t>(in.word());
    msg.flags = static_cast<uint16_t>(in.word());
    const int count = in.byte() % 12;
    for (int i = 0; i < count && in.p < in.end; ++i) {
        const uint8_t kind = in.byte();
        const uint32_t type = (kind & 0x80) ? in.byte() : TYPES[in.byte() % 14];
        if ((kind & 3) == 0) {
            msg.addQuestion(static_cast<int>(type), in.text().c_str());
            continue;
        }
        DnsRR *rr = new DnsRR;
        rr->type = type;
        rr->ttl = in.word();
        rr->setOwner(in.text().c_str());
        if (kind & 0x40)
            rr->setResource(in.text().c_str());
        for (unsigned char &b : rr->ipv6)
            b = in.byte();
        if ((kind & 3) == 1)
            msg.addAnswer(rr);
        else if ((kind & 3) == 2)
            msg.addAuthor(rr);
        else
            msg.addAditional(rr);
    }

    std::vector<char> area(DNS_ENCODE_AREA);  // exactly the exchange's area
    const int n = msg.encode(area.data());
    if (n < 0 || n > DNS_MAX_MESSAGE)
        return 0;
    DnsMessage back;
    if (!back.decode(reinterpret_cast<const byte_t *>(area.data()), n, false))
        abort();
    if (back.id != msg.id || back.flags != msg.flags)
        abort();
    // Questions are never left out; their type travels as its low byte.
    const DnsRR *q = msg.questions, *bq = back.questions;
    for (; q && bq; q = q->next, bq = bq->next)
        if ((q->type & 0xFF) != bq->type || wireName(str(q->owner)) != str(bq->owner))
            abort();
    if (q || bq)
        abort();
    checkSection(msg.answers, back.answers);
    checkSection(msg.author, back.author);
    checkSection(msg.aditional, back.aditional);
    return 0;
}
