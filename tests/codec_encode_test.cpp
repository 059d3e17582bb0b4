#include <gtest/gtest.h>

#include <string>

#include "DnsMessage.h"
#include "wire.h"

namespace {

const Bytes QUERY_HEADER = hex("12 34 01 00 00 01 00 00 00 00 00 00");

DnsMessage *newMessage(DnsMessage &msg)
{
    msg.id = 0x1234;
    return &msg;
}

TEST(Encoder, WritesQueriesAndEmptyMessagesByteForByte)
{
    DnsMessage msg;
    newMessage(msg)->addQuestion(DNS_TYPE_A, "a.b");
    EXPECT_EQ(encoded(msg), QUERY_HEADER + hex("01 61 01 62 00 00 01 00 01"));

    DnsMessage any;
    newMessage(any)->addQuestion(DNS_TYPE_ANY, "a.b");
    Bytes wire = encoded(any);
    EXPECT_EQ(Bytes(wire.end() - 4, wire.end()), hex("00 FF 00 01"));

    DnsMessage empty;
    newMessage(empty)->setOpcode(10);
    EXPECT_EQ(encoded(empty), hex("12 34 51 00 00 00 00 00 00 00 00 00"));
}

TEST(Encoder, WritesUpdateRecordsWithCompressedSecondOwner)
{
    DnsMessage msg;
    newMessage(msg)->setOpcode(10);
    const std::string token(32, 'A');
    DnsRR *v4 = record(DNS_TYPE_SETA, "h.a.b", token.c_str());
    v4->ip_pref = 0x0100000A;  // 10.0.0.1 as it lies in memory
    msg.addAnswer(v4);
    DnsRR *v6 = record(DNS_TYPE_SETAAAA, "h.a.b", token.c_str());
    v6->ipv6[0] = 0xFE;
    msg.addAnswer(v6);

    const Bytes expected = hex("12 34 51 00 00 00 00 02 00 00 00 00") +
                           hex("01 68 01 61 01 62 00 00 C9 00 01 00000000 0025 0A000001 20") +
                           text(token) + hex("C0 0C 00 CB 00 01 00000000 0031") +
                           hex("FE 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 20") + text(token);
    EXPECT_EQ(encoded(msg), expected);
    EXPECT_EQ(expected.size(), 127u);
}

TEST(Encoder, CompressesExactSuffixesOnly)
{
    DnsMessage mx;
    newMessage(mx)->addQuestion(DNS_TYPE_MX, "a.b");
    mx.addAnswer(record(DNS_TYPE_MX, "a.b", "m.a.b", 60, 10));
    EXPECT_EQ(encoded(mx), hex("12 34 01 00 00 01 00 01 00 00 00 00 01 61 01 62 00 00 0F 00 01") +
                               hex("C0 0C 00 0F 00 01 0000003C 0006 000A 01 6D C0 0C"));

    // A final dot and letter case each make a different text: no pointer.
    DnsMessage variants;
    newMessage(variants)->addQuestion(DNS_TYPE_A, "a.b.");
    variants.addQuestion(DNS_TYPE_A, "a.b");
    variants.addQuestion(DNS_TYPE_A, "A.B");
    variants.addQuestion(DNS_TYPE_A, "x.b.");
    const Bytes q = hex("00 01 00 01");
    EXPECT_EQ(encoded(variants), hex("12 34 01 00 00 04 00 00 00 00 00 00") +
                                     labels("a.b") + q + labels("a.b") + q + labels("A.B") + q +
                                     hex("01 78 C0 0E") + q);
}

TEST(Encoder, KeepsOnlyTwentyFiveSuffixes)
{
    DnsMessage msg;
    newMessage(msg)->addQuestion(DNS_TYPE_A, "a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.r.s.t.u.v.w.x.y.z");
    msg.addQuestion(DNS_TYPE_A, "z");    // the 26th suffix was not kept
    msg.addQuestion(DNS_TYPE_A, "y.z");  // the 25th was
    Bytes wire = encoded(msg);
    const size_t second = 12 + 52 + 1 + 4;
    EXPECT_EQ(Bytes(wire.begin() + second, wire.end()),
              hex("01 7A 00 00 01 00 01 C0 3C 00 01 00 01"));
}

TEST(Encoder, LeavesOutRecordsPastFiveHundredTwelveBytes)
{
    // The first answer ends at 289; a TXT record owned by x.y.z with a text
    // of L bytes takes 18 + L more, so L = 205 ends exactly at 512.
    for (int length : {205, 206}) {
        DnsMessage msg;
        newMessage(msg)->addQuestion(DNS_TYPE_TXT, "a.b");
        msg.addAnswer(record(DNS_TYPE_TXT, "a.b", std::string(255, 't').c_str()));
        msg.addAnswer(record(DNS_TYPE_TXT, "x.y.z", std::string(length, 'u').c_str()));
        msg.addAnswer(record(DNS_TYPE_A, "y.z", nullptr, 0, 0x04030201));
        Bytes wire = encoded(msg);
        EXPECT_EQ(wire[7], 2) << length;
        if (length == 205) {
            EXPECT_EQ(wire.size(), 512u) << "a record ending at 512 is kept";
            continue;
        }
        // The 513-byte record is dropped with its compression entries: the
        // A record takes its place and spells y.z out in full.
        EXPECT_EQ(Bytes(wire.begin() + 289, wire.end()),
                  hex("01 79 01 7A 00 00 01 00 01 00000000 0004 01020304"));
    }
}

TEST(Encoder, WritesSoaAndTxtLayouts)
{
    DnsMessage msg;
    newMessage(msg);
    msg.addAnswer(record(DNS_TYPE_SOA, "a.b", "r.a.b", 300, 0x78A48535u));
    msg.addAnswer(record(DNS_TYPE_TXT, "a.b", "0123456789"));
    EXPECT_EQ(encoded(msg), hex("12 34 01 00 00 00 00 02 00 00 00 00") +
                                labels("a.b") + hex("00 06 00 01 0000012C 001A C0 0C 01 72 C0 0C") +
                                hex("78A48535 00000E10 0000012C 000D2F00 0000012C") +
                                hex("C0 0C 00 10 00 01 00000000 000B 0A") + text("0123456789"));
}

TEST(Encoder, RefusesWhatCannotBeWritten)
{
    struct Case {
        const char *what;
        uint32_t type;
        std::string owner;
        const char *resource;
    };
    const std::string label63(63, 'a');
    const std::string name255 = label63 + "." + label63 + "." + label63 + "." + label63;
    const std::string txt256(256, 't');
    const Case cases[] = {
        {"HINFO has no layout", DNS_TYPE_HINFO, "a.b", "x"},
        {"ANY travels only as a question", DNS_TYPE_ANY, "a.b", "x"},
        {"label of 64 bytes", DNS_TYPE_A, std::string(64, 'a') + ".b", nullptr},
        {"name of 256 characters", DNS_TYPE_A, name255 + "b", nullptr},
        {"TXT text of 256 bytes", DNS_TYPE_TXT, "a.b", txt256.c_str()},
        {"NS without a target", DNS_TYPE_NS, "a.b", nullptr},
        {"token missing", DNS_TYPE_SETA, "a.b", nullptr},
    };
    for (const Case &c : cases) {
        DnsMessage msg;
        msg.addAnswer(record(c.type, c.owner.c_str(), c.resource));
        char area[DNS_ENCODE_AREA];
        EXPECT_EQ(msg.encode(area), -1) << c.what;
    }
    DnsMessage longest;
    longest.addQuestion(DNS_TYPE_A, (name255 + ".").c_str());
    EXPECT_EQ(encoded(longest).size(), 12u + 257u + 4u);
}

TEST(Encoder, NeverWritesPastItsArea)
{
    // Questions are not measured, so enough of them exhaust the area. The
    // second shape makes a third name start exactly at the area's end.
    auto name = [](char c, int last) {
        const std::string label(63, c);
        return label + "." + label + "." + label + "." + std::string(last, c);
    };
    const std::vector<std::vector<std::string>> shapes = {
        {name('a', 63), name('b', 63), name('c', 63)},
        {name('a', 63), name('b', 59), "x"},
        {name('a', 63), name('b', 59), "x.y"},
    };
    for (const auto &shape : shapes) {
        DnsMessage msg;
        for (const std::string &n : shape)
            msg.addQuestion(DNS_TYPE_A, n.c_str());
        std::vector<char> area(DNS_ENCODE_AREA);  // ASan reports any byte past it
        EXPECT_EQ(msg.encode(area.data()), -1) << shape.back();
    }
}

TEST(Encoder, EndsNameAtAnEmptyLabel)
{
    const std::pair<const char *, Bytes> cases[] = {
        {".a", hex("00")}, {"a..b", hex("01 61 00")}, {".", hex("00")}, {"", hex("00")},
    };
    for (const auto &c : cases) {
        DnsMessage msg;
        newMessage(msg)->addQuestion(DNS_TYPE_A, c.first);
        EXPECT_EQ(encoded(msg), QUERY_HEADER + c.second + hex("00 01 00 01")) << c.first;
    }
}

} // namespace
