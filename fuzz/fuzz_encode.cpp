// Builds a message from the input (names and texts with any bytes, any
// types, resources present or not; names in the form the encoder writes
// them) and encodes it into an area of exactly
// the exchange's size. Whatever encodes must decode, and encoding what was
// decoded must give the same bytes: nothing is lost or altered on the way.
// Input: id(4) flags(4) count(1), then per record: kind(1) type(1 or 2)
// ttl(4) owner(text) [resource(text)] address(16); text = length(2) bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
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
    std::string text()  // up to 300 bytes; a NUL ends it, as in C
    {
        size_t len = byte() + (byte() & 1) * 256;
        std::string s;
        while (len-- && p < end)
            s += static_cast<char>(*p++);
        return s.substr(0, s.find('\0'));
    }
    // A text as the encoder writes it: up to its first empty label, without
    // a final dot. Other texts would come back in this form.
    std::string name()
    {
        const std::string s = text();
        std::string out;
        for (size_t at = 0, dot; at < s.size() && (dot = s.find('.', at)) != at; at = dot + 1) {
            dot = std::min(dot, s.size());
            out += (out.empty() ? "" : ".") + s.substr(at, dot - at);
        }
        return out;
    }
};

const uint32_t TYPES[] = {1, 2, 5, 6, 12, 13, 15, 16, 28, 201, 202, 203, 255, 0};

std::vector<char> encoded(DnsMessage &msg)
{
    std::vector<char> area(DNS_ENCODE_AREA);
    const int n = msg.encode(area.data());
    area.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return area;
}

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
            msg.addQuestion(static_cast<int>(type), in.name().c_str());
            continue;
        }
        DnsRR *rr = new DnsRR;
        rr->type = type;
        rr->ttl = in.word();
        rr->setOwner(in.name().c_str());
        if (kind & 0x40)
            rr->setResource(in.name().c_str());
        for (unsigned char &b : rr->ipv6)
            b = in.byte();
        if ((kind & 3) == 1)
            msg.addAnswer(rr);
        else if ((kind & 3) == 2)
            msg.addAuthor(rr);
        else
            msg.addAditional(rr);
    }
    const std::vector<char> wire = encoded(msg);
    if (wire.empty() || wire.size() > DNS_MAX_MESSAGE)  // questions alone may pass 512
        return 0;
    DnsMessage back;
    if (!back.decode(reinterpret_cast<const byte_t *>(wire.data()), static_cast<int>(wire.size()), false) ||
        encoded(back) != wire)
        abort();
    return 0;
}
