#include "DnsMessage.h"

#include <cstdint>
#include <cstring>

namespace {

// Longest label on the wire; a length byte never carries its top bits.
const int MAX_LABEL = 63;
// Longest text the one-byte length of a character-string can describe.
const int MAX_CHARSTRING = 255;
// Compression pointers followed within one name before it is given up.
const int MAX_POINTER_HOPS = 256;

uint16_t readShort(const byte_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t readLong(const byte_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Fewer than n bytes from p to end?
bool shortOf(const byte_t *p, const byte_t *end, long n) { return end - p < n; }

bool isWritableType(uint32_t type)
{
    switch (type) {
    case DNS_TYPE_A: case DNS_TYPE_NS: case DNS_TYPE_CNAME: case DNS_TYPE_SOA:
    case DNS_TYPE_PTR: case DNS_TYPE_MX: case DNS_TYPE_TXT: case DNS_TYPE_AAAA:
    case DNS_TYPE_SETA: case DNS_TYPE_SETAAAA:
        return true;
    default:
        return false;
    }
}

bool writesNameResource(uint32_t type)
{
    return type == DNS_TYPE_NS || type == DNS_TYPE_CNAME || type == DNS_TYPE_PTR ||
           type == DNS_TYPE_MX || type == DNS_TYPE_SOA;
}

bool writesTextResource(uint32_t type)
{
    return type == DNS_TYPE_TXT || type == DNS_TYPE_SETA || type == DNS_TYPE_SETAAAA;
}

// A name the encoder can write without breaking the wire limits: labels of at
// most 63 bytes and at most 255 characters of dotted text. Reading stops at an
// empty label, where the encoder ends the name; a final dot is not counted.
bool nameWithinLimits(const char *name)
{
    if (!name)
        return false;
    int label = 0;
    int length = 0;
    for (const char *cp = name; *cp; ++cp) {
        if (*cp == '.') {
            if (label == 0)
                break;
            label = 0;
            if (cp[1] != '\0')
                ++length;
            continue;
        }
        if (++label > MAX_LABEL || ++length > DNS_MAX_NAME)
            return false;
    }
    return true;
}

bool recordWithinLimits(const DnsRR *rr)
{
    if (!nameWithinLimits(rr->owner))
        return false;
    if (writesNameResource(rr->type))
        return nameWithinLimits(rr->resource);
    if (writesTextResource(rr->type))
        return rr->resource && strlen(rr->resource) <= static_cast<size_t>(MAX_CHARSTRING);
    return true;
}

bool listWithinLimits(const DnsRR *rr, bool questions)
{
    for (; rr; rr = rr->next) {
        if (questions ? !nameWithinLimits(rr->owner) : !recordWithinLimits(rr))
            return false;
    }
    return true;
}

} // namespace

char *myStrdup(const char *what)
{
    if (!what)
        what = "";
    size_t len = strlen(what);
    char *copy = new char[len + 1];
    memcpy(copy, what, len + 1);
    return copy;
}

// ---------------------------------------------------------------- DnsRR

DnsRR::DnsRR() { memset(ipv6, 0, sizeof ipv6); }

DnsRR::~DnsRR()
{
    delete[] owner;
    delete[] resource;
    // Free the rest of the list one record at a time, so that a long list
    // does not recurse once per record.
    DnsRR *rest = next;
    next = nullptr;
    while (rest) {
        DnsRR *after = rest->next;
        rest->next = nullptr;
        delete rest;
        rest = after;
    }
}

void DnsRR::setOwner(const char *cp) { owner = myStrdup(cp); }

void DnsRR::setResource(const char *cp) { resource = myStrdup(cp); }

void DnsRR::setResourceCounted(const char *bufp, int rdlen)
{
    if (rdlen < 0)
        rdlen = 0;
    resource = new char[rdlen + 1];
    if (rdlen > 0)
        memcpy(resource, bufp, static_cast<size_t>(rdlen));
    resource[rdlen] = '\0';
}

// ---------------------------------------------------------------- DnsMessage

DnsMessage::DnsMessage()
    : dnsComp(nullptr), dnsCompSize(0), encodeBuf(nullptr),
      id(static_cast<uint16_t>(reinterpret_cast<uintptr_t>(this))), flags(0x0100),
      questions(nullptr), endq(&questions), answers(nullptr), endans(&answers),
      author(nullptr), endaut(&author), aditional(nullptr), endadi(&aditional)
{
}

DnsMessage::~DnsMessage()
{
    delete questions;
    delete answers;
    delete author;
    delete aditional;
}

void DnsMessage::reset()
{
    delete questions;
    questions = nullptr;
    endq = &questions;
    delete answers;
    answers = nullptr;
    endans = &answers;
    delete author;
    author = nullptr;
    endaut = &author;
    delete aditional;
    aditional = nullptr;
    endadi = &aditional;
    flags = 0x0100;
}

void DnsMessage::addQuestion(int type, const char *what)
{
    DnsRR *q = new DnsRR;
    q->type = static_cast<uint32_t>(type);
    q->setOwner(what);
    *endq = q;
    endq = &q->next;
}

void DnsMessage::addAnswer(DnsRR *rr)
{
    *endans = rr;
    endans = &rr->next;
}

void DnsMessage::addAuthor(DnsRR *rr)
{
    *endaut = rr;
    endaut = &rr->next;
}

void DnsMessage::addAditional(DnsRR *rr)
{
    *endadi = rr;
    endadi = &rr->next;
}

int16_t DnsMessage::countRR(DnsRR *rrp)
{
    int16_t count = 0;
    for (; rrp; rrp = rrp->next)
        ++count;
    return count;
}

int DnsMessage::getError() { return flags & 0x0F; }

void DnsMessage::setOpcode(int o) { flags = static_cast<uint16_t>(flags | (o << 11)); }

// ---------------------------------------------------------------- encoder

bool DnsMessage::haveRoom(const char *pos, int n) const
{
    return pos != nullptr && (pos - encodeBuf) + n <= DNS_ENCODE_AREA;
}

void DnsMessage::encodeByte(char **bufp, int val)
{
    if (!haveRoom(*bufp, 1)) {
        *bufp = nullptr;
        return;
    }
    *(*bufp)++ = static_cast<char>(val & 0xFF);
}

void DnsMessage::encodeShort(char **bufp, int val)
{
    encodeByte(bufp, val >> 8);
    encodeByte(bufp, val);
}

void DnsMessage::encodeLong(char **bufp, int32_t val)
{
    uint32_t u = static_cast<uint32_t>(val);
    encodeByte(bufp, static_cast<int>(u >> 24));
    encodeByte(bufp, static_cast<int>(u >> 16));
    encodeByte(bufp, static_cast<int>(u >> 8));
    encodeByte(bufp, static_cast<int>(u));
}

void DnsMessage::encodeBytes(char **bufp, const void *src, int n)
{
    if (!haveRoom(*bufp, n)) {
        *bufp = nullptr;
        return;
    }
    memcpy(*bufp, src, static_cast<size_t>(n));
    *bufp += n;
}

_DnsCompression *DnsMessage::getCompEntry(const char *str, int maxEntry)
{
    for (int i = 0; i < maxEntry; ++i) {
        if (strcmp(dnsComp[i].entry, str) == 0)
            return &dnsComp[i];
    }
    return nullptr;
}

void DnsMessage::putCompEntry(const char *str, const char *enc)
{
    if (dnsCompSize >= DNS_COMP_ENTRIES)
        return;
    dnsComp[dnsCompSize].entry = str;
    dnsComp[dnsCompSize].offset = static_cast<int32_t>(enc - encodeBuf);
    ++dnsCompSize;
}

// Writes str as labels. Each suffix that starts a label is looked up among
// the entries made before this name; the first hit ends the name with a
// pointer. An empty label (leading dot, two dots in a row) ends the name
// there: the length byte reserved for it becomes the terminating zero.
void DnsMessage::encodeString(char **bufp, const char *str)
{
    char *pos = *bufp;
    if (!pos || !str) {
        *bufp = nullptr;
        return;
    }
    const int maxCompEntry = dnsCompSize;
    int l = 0;
    char *ilp = nullptr;
    for (const char *cp = str; *cp; ++cp) {
        if (!pos)
            break;
        if (l == 0) {
            const _DnsCompression *hit = getCompEntry(cp, maxCompEntry);
            if (hit) {
                encodeByte(&pos, (hit->offset >> 8) | 0xC0);
                encodeByte(&pos, hit->offset & 0xFF);
                *bufp = pos;
                return;
            }
            putCompEntry(cp, pos);
            ilp = pos;
            encodeByte(&pos, 0);
            if (!pos) {
                // No room for the length byte: ilp lies past the area.
                *bufp = nullptr;
                return;
            }
            if (*cp == '.') {
                *bufp = pos;
                return;
            }
        }
        if (*cp == '.') {
            *ilp = static_cast<char>(l);
            l = 0;
            continue;
        }
        if (l == MAX_LABEL) {
            *bufp = nullptr;
            return;
        }
        encodeByte(&pos, *cp);
        ++l;
    }
    if (l > 0 && ilp)
        *ilp = static_cast<char>(l);
    encodeByte(&pos, 0);
    *bufp = pos;
}

char *DnsMessage::encodeQuestion(DnsRR *q, char *buf)
{
    encodeString(&buf, q->owner);
    encodeByte(&buf, 0);
    encodeByte(&buf, static_cast<int>(q->type));
    encodeShort(&buf, 1);
    return buf;
}

char *DnsMessage::encodeRR(DnsRR *rrp, char *buf)
{
    if (!isWritableType(rrp->type))
        return nullptr;
    char *pos = encodeQuestion(rrp, buf);
    encodeLong(&pos, static_cast<int32_t>(rrp->ttl));
    char *rdlenp = pos;
    encodeShort(&pos, 0);
    char *rdata = pos;

    switch (rrp->type) {
    case DNS_TYPE_A:
    case DNS_TYPE_SETA:
        encodeBytes(&pos, &rrp->ip_pref, 4);
        break;
    case DNS_TYPE_AAAA:
    case DNS_TYPE_SETAAAA:
        encodeBytes(&pos, rrp->ipv6, 16);
        break;
    case DNS_TYPE_NS:
    case DNS_TYPE_CNAME:
    case DNS_TYPE_PTR:
        encodeString(&pos, rrp->resource);
        break;
    case DNS_TYPE_MX:
        encodeShort(&pos, static_cast<int>(rrp->ip_pref & 0xFFFF));
        encodeString(&pos, rrp->resource);
        break;
    case DNS_TYPE_SOA:
        encodeString(&pos, rrp->owner);
        encodeString(&pos, rrp->resource);
        encodeLong(&pos, static_cast<int32_t>(rrp->ip_pref));
        encodeLong(&pos, 3600);
        encodeLong(&pos, 300);
        encodeLong(&pos, 864000);
        encodeLong(&pos, static_cast<int32_t>(rrp->ttl));
        break;
    }
    if (writesTextResource(rrp->type)) {
        if (!rrp->resource)
            return nullptr;
        int len = static_cast<int>(strlen(rrp->resource));
        encodeByte(&pos, len);
        encodeBytes(&pos, rrp->resource, len);
    }
    if (!pos)
        return nullptr;

    long rdlen = pos - rdata;
    rdlenp[0] = static_cast<char>((rdlen >> 8) & 0xFF);
    rdlenp[1] = static_cast<char>(rdlen & 0xFF);
    return pos;
}

// Writes the records of one section from *posp and returns how many were
// kept. A record that ends more than DNS_MAX_MESSAGE bytes into the message
// (or does not fit in the area at all) is left out: the next record is
// written where it began, and the compression entries it made are dropped.
// An unwritable type sets *posp to null.
int DnsMessage::encodeSection(DnsRR *list, char **posp)
{
    int kept = 0;
    for (DnsRR *rr = list; rr && *posp; rr = rr->next) {
        const int entriesBefore = dnsCompSize;
        char *end = encodeRR(rr, *posp);
        if (!end && !isWritableType(rr->type)) {
            *posp = nullptr;
            break;
        }
        if (!end || end - encodeBuf > DNS_MAX_MESSAGE) {
            dnsCompSize = entriesBefore;
            continue;
        }
        *posp = end;
        ++kept;
    }
    return kept;
}

bool DnsMessage::recordsWithinLimits() const
{
    return listWithinLimits(questions, true) && listWithinLimits(answers, false) &&
           listWithinLimits(author, false) && listWithinLimits(aditional, false);
}

int DnsMessage::encode(char *ibuf)
{
    encodeBuf = ibuf;
    char *pos = ibuf;
    encodeShort(&pos, id);
    encodeShort(&pos, flags);
    encodeShort(&pos, countRR(questions));
    if (!recordsWithinLimits())
        return -1;
    char *counts = pos;
    pos += 6;

    _DnsCompression compBuffer[DNS_COMP_ENTRIES];
    dnsComp = compBuffer;
    dnsCompSize = 0;

    for (DnsRR *q = questions; q && pos; q = q->next)
        pos = encodeQuestion(q, pos);
    const int numAnswers = encodeSection(answers, &pos);
    const int numAuthor = encodeSection(author, &pos);
    const int numAditional = encodeSection(aditional, &pos);
    dnsComp = nullptr;
    if (!pos)
        return -1;

    encodeShort(&counts, numAnswers);
    encodeShort(&counts, numAuthor);
    encodeShort(&counts, numAditional);
    return static_cast<int>(pos - ibuf);
}

// ---------------------------------------------------------------- decoder

const byte_t *DnsMessage::decodeName(char *dn_buffer, int dn_left, const byte_t *bufp,
                                     const byte_t *dgramp, const byte_t *endp)
{
    return decodeNameHops(dn_buffer, dn_left, bufp, dgramp, endp, 0);
}

// dn_buffer is where the text goes on; dn_left the characters still allowed
// (255 at the start of a name, which also marks the first label). Every
// label needs its bytes and the next length byte before endp.
const byte_t *DnsMessage::decodeNameHops(char *dn_buffer, int dn_left, const byte_t *bufp,
                                         const byte_t *dgramp, const byte_t *endp, int hops)
{
    *dn_buffer = '\0';
    if (bufp < dgramp || bufp >= endp)
        return nullptr;
    char *out = dn_buffer;
    int c = *bufp;
    while (c != 0) {
        switch (c & 0xC0) {
        case 0x00: {
            if (shortOf(bufp, endp, c + 2))
                return nullptr;
            const bool first = (dn_left == DNS_MAX_NAME);
            if (c + (first ? 0 : 1) > dn_left)
                return nullptr;
            // The text of a name ends at its first NUL, so a label holding
            // one would show a name other than the one on the wire.
            if (memchr(bufp + 1, 0, static_cast<size_t>(c)))
                return nullptr;
            if (!first) {
                *out++ = '.';
                --dn_left;
            }
            memcpy(out, bufp + 1, static_cast<size_t>(c));
            out += c;
            dn_left -= c;
            *out = '\0';
            bufp += c + 1;
            c = *bufp;
            break;
        }
        case 0xC0: {
            if (shortOf(bufp, endp, 2) || !dgramp || hops >= MAX_POINTER_HOPS)
                return nullptr;
            const int offset = ((c & 0x3F) << 8) | bufp[1];
            if (offset >= endp - dgramp)
                return nullptr;
            if (!decodeNameHops(out, dn_left, dgramp + offset, dgramp, endp, hops + 1))
                return nullptr;
            return bufp + 2;
        }
        default:
            return nullptr;
        }
    }
    *out = '\0';
    return bufp + 1;
}

// Reads the RDATA between rdata and rdend by the record's type; false when
// the data misses what its type requires.
bool DnsMessage::decodeRdata(DnsRR *rrp, const byte_t *rdata, const byte_t *rdend,
                             const byte_t *dgramp)
{
    char dn_buffer[DNS_MAX_NAME + 1];
    const long rdlen = rdend - rdata;
    switch (rrp->type) {
    case 0:
        return true;
    case DNS_TYPE_A:
    case DNS_TYPE_SETA:
        if (rdlen < 4)
            return false;
        memcpy(&rrp->ip_pref, rdata, 4);
        if (rrp->type == DNS_TYPE_SETA) {
            if (rdlen < 5 || rdlen < 5 + rdata[4])
                return false;
            rrp->setResourceCounted(reinterpret_cast<const char *>(rdata + 5), rdata[4]);
        }
        return true;
    case DNS_TYPE_AAAA:
    case DNS_TYPE_SETAAAA:
        if (rdlen < 16)
            return false;
        memcpy(rrp->ipv6, rdata, 16);
        if (rrp->type == DNS_TYPE_SETAAAA) {
            if (rdlen < 17 || rdlen < 17 + rdata[16])
                return false;
            rrp->setResourceCounted(reinterpret_cast<const char *>(rdata + 17), rdata[16]);
        }
        return true;
    case DNS_TYPE_MX:
        if (rdlen < 3)
            return false;
        rrp->ip_pref = readShort(rdata);
        if (decodeName(dn_buffer, DNS_MAX_NAME, rdata + 2, dgramp, rdend))
            rrp->setResource(dn_buffer);
        return true;
    case DNS_TYPE_NS:
    case DNS_TYPE_CNAME:
    case DNS_TYPE_PTR:
        if (decodeName(dn_buffer, DNS_MAX_NAME, rdata, dgramp, rdend))
            rrp->setResource(dn_buffer);
        return true;
    case DNS_TYPE_SOA: {
        const byte_t *p = decodeName(dn_buffer, DNS_MAX_NAME, rdata, dgramp, rdend);
        if (!p)
            return false;
        p = decodeName(dn_buffer, DNS_MAX_NAME, p, dgramp, rdend);
        if (!p || shortOf(p, rdend, 20))
            return false;
        rrp->setResource(dn_buffer);
        rrp->ip_pref = readLong(p);
        rrp->ttl = readLong(p + 16);
        return true;
    }
    case DNS_TYPE_HINFO:
        rrp->ip_pref = 0;
        return true;
    case DNS_TYPE_TXT:
        if (rdlen < 1 || rdlen < 1 + rdata[0])
            return false;
        rrp->setResourceCounted(reinterpret_cast<const char *>(rdata + 1), rdata[0]);
        return true;
    default:
        rrp->type = DNS_TYPE_UNKNOWN;
        return true;
    }
}

const byte_t *DnsMessage::decodeRR(DnsRR *rrp, const byte_t *bufp, const byte_t *dgramp,
                                   const byte_t *endp)
{
    char dn_buffer[DNS_MAX_NAME + 1];
    const byte_t *p = decodeName(dn_buffer, DNS_MAX_NAME, bufp, dgramp, endp);
    if (!p || shortOf(p, endp, 10))
        return nullptr;
    rrp->setOwner(dn_buffer);
    if (p[0] != 0)
        return nullptr;
    rrp->type = p[1];
    if (p[2] != 0 || p[3] != 1)
        rrp->type = 0;
    rrp->ttl = readLong(p + 4);
    const int rdlen = readShort(p + 8);
    const byte_t *rdata = p + 10;
    if (shortOf(rdata, endp, rdlen))
        return nullptr;
    const byte_t *newbufp = rdata + rdlen;
    if (!decodeRdata(rrp, rdata, newbufp, dgramp))
        return nullptr;
    return newbufp;
}

// Reads count records into the list that append extends. Records of class
// other than 1 (type 0) are dropped; an unsupported type is dropped or, unless
// ignore_unknown_rrs, ends the decode.
bool DnsMessage::decodeRecords(int count, void (DnsMessage::*append)(DnsRR *),
                               const byte_t *&bufp, const byte_t *buf, const byte_t *endp,
                               bool ignore_unknown_rrs)
{
    for (int i = 0; i < count; ++i) {
        DnsRR *rr = new DnsRR;
        const byte_t *next = decodeRR(rr, bufp, buf, endp);
        if (!next) {
            delete rr;
            return false;
        }
        bufp = next;
        if (rr->type == 0) {
            delete rr;
            continue;
        }
        if (rr->type == DNS_TYPE_UNKNOWN) {
            delete rr;
            if (!ignore_unknown_rrs)
                return false;
            continue;
        }
        (this->*append)(rr);
    }
    return true;
}

bool DnsMessage::decode(const byte_t *buf, int sz, bool ignore_unknown_rrs, int maxSize)
{
    if (sz < 12 || sz > maxSize)
        return false;
    const byte_t *endp = buf + sz;
    id = readShort(buf);
    flags = readShort(buf + 2);
    const int numquestions = readShort(buf + 4);
    const int numanswers = readShort(buf + 6);
    const int numauthor = readShort(buf + 8);
    const int numaditional = readShort(buf + 10);
    const byte_t *bufp = buf + 12;

    for (int i = 0; i < numquestions; ++i) {
        // The question joins the list before it is read, so a failed read
        // leaves what was read of it in place.
        DnsRR *q = new DnsRR;
        *endq = q;
        endq = &q->next;
        char dn_buffer[DNS_MAX_NAME + 1];
        bufp = decodeName(dn_buffer, DNS_MAX_NAME, bufp, buf, endp);
        if (!bufp || shortOf(bufp, endp, 4))
            return false;
        q->setOwner(dn_buffer);
        if (bufp[0] != 0)
            return false;
        q->type = bufp[1];
        if (bufp[2] != 0 || bufp[3] != 1)
            return false;
        bufp += 4;
    }
    return decodeRecords(numanswers, &DnsMessage::addAnswer, bufp, buf, endp,
                         ignore_unknown_rrs) &&
           decodeRecords(numauthor, &DnsMessage::addAuthor, bufp, buf, endp,
                         ignore_unknown_rrs) &&
           decodeRecords(numaditional, &DnsMessage::addAditional, bufp, buf, endp,
                         ignore_unknown_rrs);
}
