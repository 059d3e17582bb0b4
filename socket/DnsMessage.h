// In-memory DNS message model and its wire codec.
//
// A DnsMessage holds a header (identifier, flags) and four ordered lists of
// DnsRR records: questions, answers, authority and additional. encode()
// writes it in RFC 1035 layout (class 1 only, one-byte type codes, plus the
// private update types 201 and 203); decode() reads a received datagram back
// into it, checking every length against the end of the data.
#ifndef VINTREL_DNSMESSAGE_H
#define VINTREL_DNSMESSAGE_H

#include <cstdint>

typedef unsigned char byte_t;

// Record type codes understood by the codec.
enum DnsType : uint32_t {
    DNS_TYPE_A = 1,
    DNS_TYPE_NS = 2,
    DNS_TYPE_CNAME = 5,
    DNS_TYPE_SOA = 6,
    DNS_TYPE_PTR = 12,
    DNS_TYPE_HINFO = 13,
    DNS_TYPE_MX = 15,
    DNS_TYPE_TXT = 16,
    DNS_TYPE_AAAA = 28,
    DNS_TYPE_SETA = 201,     // address update record: IPv4 address + token
    DNS_TYPE_UNKNOWN = 202,  // decoder's marker for an unsupported type
    DNS_TYPE_SETAAAA = 203,  // IPv6 update record: IPv6 address + token
    DNS_TYPE_ANY = 255,
};

// Largest message the system sends, and accepts over UDP.
const int DNS_MAX_MESSAGE = 512;
// The opcode of the dynamic-address service's messages (updates, MYIP).
const int OPCODE_DDNS = 10;
// The header's TC flag: the reply did not fit and was cut short.
const uint16_t DNS_FLAG_TC = 0x0200;
// Largest message a TCP reply can carry (its two-byte length prefix).
const int DNS_MAX_TCP_MESSAGE = 65535;
// Size of the area the encoder may write into (and of the receive buffer).
const int DNS_ENCODE_AREA = 530;
// Longest dotted name, without a final dot.
const int DNS_MAX_NAME = 255;
// Entries in the encoder's name-compression table.
const int DNS_COMP_ENTRIES = 25;

// A new character array holding a copy of `what` (an empty text for null).
// Never returns null; the caller owns the result (delete[]).
char *myStrdup(const char *what);

// One question or resource record. Owns its texts and every record after it.
class DnsRR {
public:
    uint32_t type = 0;
    uint32_t ttl = 0;
    union {
        uint32_t ip_pref;  // A/201: address (network order); MX: preference; SOA: serial
        unsigned char ipv6[16];  // AAAA/203: address (network order)
    };
    char *owner = nullptr;
    char *resource = nullptr;
    DnsRR *next = nullptr;

    DnsRR();
    ~DnsRR();
    DnsRR(const DnsRR &) = delete;
    DnsRR &operator=(const DnsRR &) = delete;

    // Store a fresh copy of `cp`. The previous text is not released:
    // each field is set once.
    void setOwner(const char *cp);
    void setResource(const char *cp);
    // Store `rdlen` raw bytes (any value, NUL included) plus a terminator.
    void setResourceCounted(const char *bufp, int rdlen);
};

// One entry of the encoder's compression table: a name suffix already on
// the wire (a reference into a record's text) and where it was written.
struct _DnsCompression {
    const char *entry;
    int32_t offset;
};

class DnsMessage {
    _DnsCompression *dnsComp;
    int dnsCompSize;
    char *encodeBuf;

public:
    uint16_t id;
    uint16_t flags;
    DnsRR *questions, **endq;
    DnsRR *answers, **endans;
    DnsRR *author, **endaut;
    DnsRR *aditional, **endadi;

    DnsMessage();
    ~DnsMessage();
    DnsMessage(const DnsMessage &) = delete;
    DnsMessage &operator=(const DnsMessage &) = delete;

    // Free every record, empty the lists and set flags back to 0x0100.
    // The identifier is kept.
    void reset();

    void addQuestion(int type, const char *what);
    void addAnswer(DnsRR *rr);
    void addAuthor(DnsRR *rr);
    void addAditional(DnsRR *rr);

    // Records from rrp to the end of its list.
    int16_t countRR(DnsRR *rrp);
    // The reply code (low four bits of the flags).
    int getError();
    void setOpcode(int o);

    // Write the message at ibuf (an area of DNS_ENCODE_AREA bytes) and
    // return its length, or -1 when a record cannot be written (unsupported
    // type, or a name, text or area limit broken). Records that would make
    // the message longer than DNS_MAX_MESSAGE bytes are left out.
    int encode(char *ibuf);

    // Read the sz bytes at buf into this message (appending to its lists);
    // a message longer than maxSize is not read at all. True when every
    // counted question and record was read.
    bool decode(const byte_t *buf, int sz, bool ignore_unknown_rrs,
                int maxSize = DNS_MAX_MESSAGE);

private:
    char *encodeQuestion(DnsRR *q, char *buf);
    char *encodeRR(DnsRR *rrp, char *buf);
    void encodeString(char **bufp, const char *str);
    void encodeLong(char **bufp, int32_t val);
    _DnsCompression *getCompEntry(const char *str, int maxEntry);
    void putCompEntry(const char *str, const char *enc);

    // Bounded writers behind the encoder: a null position means the area
    // is exhausted, and every later write is then a no-op.
    bool haveRoom(const char *pos, int n) const;
    void encodeByte(char **bufp, int val);
    void encodeShort(char **bufp, int val);
    void encodeBytes(char **bufp, const void *src, int n);
    bool recordsWithinLimits() const;
    int encodeSection(DnsRR *list, char **posp);

    const byte_t *decodeName(char *dn_buffer, int dn_left, const byte_t *bufp,
                             const byte_t *dgramp, const byte_t *endp);
    const byte_t *decodeNameHops(char *dn_buffer, int dn_left, const byte_t *bufp,
                                 const byte_t *dgramp, const byte_t *endp, int hops);
    const byte_t *decodeRR(DnsRR *rrp, const byte_t *bufp, const byte_t *dgramp,
                           const byte_t *endp);
    bool decodeRdata(DnsRR *rrp, const byte_t *rdata, const byte_t *rdend,
                     const byte_t *dgramp);
    bool decodeRecords(int count, void (DnsMessage::*append)(DnsRR *), const byte_t *&bufp,
                       const byte_t *buf, const byte_t *endp, bool ignore_unknown_rrs);
};

#endif
