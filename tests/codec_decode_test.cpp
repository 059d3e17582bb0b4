#include <gtest/gtest.h>

#include <string>

#include "DnsMessage.h"
#include "wire.h"

namespace {

Bytes header(int qd, int an, int ns = 0, int ar = 0)
{
    return Bytes{0x12, 0x34, 0x81, 0x80, 0, static_cast<uint8_t>(qd), 0, static_cast<uint8_t>(an),
                 0, static_cast<uint8_t>(ns), 0, static_cast<uint8_t>(ar)};
}

const Bytes QUESTION = labels("a.b") + hex("00 01 00 01");  // at offset 12

// A record owned by the question's name (pointer C0 0C).
Bytes answer(int type, const Bytes &rdata, int cls = 1)
{
    Bytes rr = hex("C0 0C");
    rr.push_back(static_cast<uint8_t>(type >> 8));
    rr.push_back(static_cast<uint8_t>(type));
    rr.push_back(static_cast<uint8_t>(cls >> 8));
    rr.push_back(static_cast<uint8_t>(cls));
    rr = rr + hex("00 00 0E 10");
    rr.push_back(static_cast<uint8_t>(rdata.size() >> 8));
    rr.push_back(static_cast<uint8_t>(rdata.size()));
    return rr + rdata;
}

bool decodeInto(DnsMessage &msg, const Bytes &wire, bool ignoreUnknown = false)
{
    return msg.decode(wire.data(), static_cast<int>(wire.size()), ignoreUnknown);
}

std::string nameOf(int a, int b, int c, int d, int e)
{
    std::string name;
    for (int n : {a, b, c, d, e})
        name += (name.empty() ? "" : ".") + std::string(n, 'n');
    return name;
}

TEST(Decoder, ReadsTheSampleReply)
{
    DnsMessage msg;
    ASSERT_TRUE(decodeInto(msg, header(1, 1) + QUESTION + answer(1, hex("0A 00 00 01"))));
    EXPECT_EQ(msg.id, 0x1234);
    EXPECT_EQ(msg.flags, 0x8180);
    ASSERT_TRUE(msg.questions && msg.answers);
    EXPECT_STREQ(msg.questions->owner, "a.b");
    EXPECT_EQ(msg.questions->type, 1u);
    EXPECT_STREQ(msg.answers->owner, "a.b");
    EXPECT_EQ(msg.answers->ttl, 3600u);
    EXPECT_EQ(Bytes(msg.answers->ipv6, msg.answers->ipv6 + 4), hex("0A 00 00 01"));
    EXPECT_EQ(msg.author, nullptr);
    EXPECT_EQ(msg.aditional, nullptr);
}

TEST(Decoder, RejectsBadSizesWithoutTouchingTheMessage)
{
    for (size_t size : {11u, 513u}) {
        DnsMessage msg;
        msg.id = 7;
        Bytes wire(size, 0);
        EXPECT_FALSE(decodeInto(msg, wire));
        EXPECT_EQ(msg.id, 7);
        EXPECT_EQ(msg.flags, 0x0100);
    }
    DnsMessage empty;
    EXPECT_TRUE(decodeInto(empty, header(0, 0)));
    EXPECT_EQ(empty.id, 0x1234);
    EXPECT_EQ(empty.questions, nullptr);
}

struct RecordCase {
    const char *what;
    Bytes records;  // after the question
    int count;      // records the header announces
    bool ok;
    int kept;       // answers in the list afterwards
};

TEST(Decoder, EnforcesEveryRecordBound)
{
    const Bytes token32(32, 'T');
    const Bytes a = answer(1, hex("01 02 03 04"));
    const Bytes names = hex("00 00");  // SOA MNAME and RNAME, both the root
    const RecordCase cases[] = {
        {"A with RDLENGTH 3", answer(1, hex("01 02 03")), 1, false, 0},
        {"A with RDLENGTH 6 uses 4", answer(1, hex("01 02 03 04 05 06")), 1, true, 1},
        {"RDATA past the end", Bytes(a.begin(), a.end() - 1), 1, false, 0},
        {"fewer than 10 bytes after owner", hex("C0 0C 00 01 00 01 00 00 0E"), 1, false, 0},
        {"more records counted than held", a, 2, false, 1},
        {"trailing bytes ignored", a + hex("FF FF FF"), 1, true, 1},
        {"class 3 skipped", answer(1, hex("01020304"), 3) + a, 2, true, 1},
        {"type 0 skipped", answer(0, hex("01020304")) + a, 2, true, 1},
        {"type 257 fails, earlier kept", a + answer(257, hex("01020304")), 2, false, 1},
        {"type 33 fails", answer(33, hex("00")), 1, false, 0},
        {"type 202 on the wire fails", answer(202, hex("00")), 1, false, 0},
        {"type 255 on the wire fails", answer(255, hex("00")), 1, false, 0},
        {"MX with RDLENGTH 2", answer(15, hex("00 0A")), 1, false, 0},
        {"MX with unreadable exchange kept", answer(15, hex("00 0A 05 61")), 1, true, 1},
        {"NS with unreadable target kept", answer(2, hex("41")), 1, true, 1},
        {"SOA with 20 bytes after names", answer(6, names + Bytes(20, 0)), 1, true, 1},
        {"SOA with 19 bytes after names", answer(6, names + Bytes(19, 0)), 1, false, 0},
        {"SOA with unreadable name", answer(6, hex("41") + Bytes(24, 0)), 1, false, 0},
        {"TXT longer than its RDATA", answer(16, hex("06 68 65 6C 6C 6F")), 1, false, 0},
        {"TXT empty RDATA", answer(16, Bytes()), 1, false, 0},
        {"201 with 32-byte token", answer(201, hex("0A000001 20") + token32), 1, true, 1},
        {"201 token length 33 in 37", answer(201, hex("0A000001 21") + token32), 1, false, 0},
        {"201 without token length", answer(201, hex("0A000001")), 1, false, 0},
        {"203 with 32-byte token", answer(203, Bytes(16, 1) + hex("20") + token32), 1, true, 1},
        {"203 token past RDATA", answer(203, Bytes(16, 1) + hex("21") + token32), 1, false, 0},
        {"HINFO kept without data", answer(13, hex("01 61 01 62")), 1, true, 1},
        {"owner label type 01", hex("41") + a, 1, false, 0},
        {"owner label type 10", hex("81") + a, 1, false, 0},
        {"owner pointer past the end", hex("C0 FF 00 01 00 01 00000E10 0004 01020304"), 1, false,
         0},
        {"owner pointer to itself", hex("C0 15 00 01 00 01 00000E10 0004 01020304"), 1, false, 0},
        {"owner pointer chain loop", hex("01 78 C0 15 00 01 00 01 00000E10 0004 01020304"), 1,
         false, 0},
    };
    for (const RecordCase &c : cases) {
        DnsMessage msg;
        Bytes wire = header(1, c.count) + QUESTION + c.records;
        EXPECT_EQ(decodeInto(msg, wire), c.ok) << c.what;
        EXPECT_EQ(msg.countRR(msg.answers), c.kept) << c.what;
        EXPECT_EQ(msg.countRR(msg.questions), 1) << c.what;
    }
}

TEST(Decoder, KeepsTheFieldsEachTypeCarries)
{
    const Bytes records =
        answer(15, hex("00 0A 02 6D 78 C0 0C")) +
        answer(6, hex("00 01 72 00 FFFFFFFE 00000001 00000002 00000003 0000012C")) +
        answer(16, hex("05 68 65 6C 6C 6F 02 78 79")) + answer(16, hex("03 61 00 62")) +
        answer(201, hex("0A000001 03 41 42 43")) + answer(13, hex("01 61"));
    DnsMessage msg;
    ASSERT_TRUE(decodeInto(msg, header(1, 6) + QUESTION + records));
    DnsRR *rr = msg.answers;
    EXPECT_EQ(rr->ip_pref, 10u);
    EXPECT_STREQ(rr->resource, "mx.a.b");
    rr = rr->next;
    EXPECT_STREQ(rr->resource, "r");
    EXPECT_EQ(rr->ip_pref, 0xFFFFFFFEu);
    EXPECT_EQ(rr->ttl, 300u) << "SOA ttl holds MINIMUM";
    rr = rr->next;
    EXPECT_STREQ(rr->resource, "hello") << "second string ignored";
    rr = rr->next;
    EXPECT_EQ(std::string(rr->resource, 3), std::string("a\0b", 3));
    rr = rr->next;
    EXPECT_STREQ(rr->resource, "ABC");
    rr = rr->next;
    EXPECT_EQ(rr->type, 13u);
    EXPECT_EQ(rr->resource, nullptr);
    EXPECT_EQ(rr->ip_pref, 0u);
}

TEST(Decoder, UnknownTypesAreSkippedOnRequest)
{
    DnsMessage msg;
    Bytes wire = header(1, 2) + QUESTION + answer(33, hex("00")) + answer(1, hex("01020304"));
    EXPECT_TRUE(decodeInto(msg, wire, true));
    EXPECT_EQ(msg.countRR(msg.answers), 1);
}

TEST(Decoder, LimitsNamesToTwoHundredFiftyFiveCharacters)
{
    const std::string longest = nameOf(63, 63, 63, 61, 1);
    const std::string tooLong = nameOf(63, 63, 63, 62, 1);
    ASSERT_EQ(longest.size(), 255u);
    DnsMessage ok;
    ASSERT_TRUE(decodeInto(ok, header(1, 0) + labels(longest) + hex("00 01 00 01")));
    EXPECT_EQ(ok.questions->owner, longest);

    // Reaching the same length through a pointer counts the same way.
    DnsMessage viaPointer;
    Bytes wire = header(2, 0) + labels(nameOf(63, 63, 63, 61, 1).substr(2)) + hex("00 01 00 01") +
                 hex("01 6E C0 0C 00 01 00 01");
    EXPECT_TRUE(decodeInto(viaPointer, wire));
    EXPECT_EQ(viaPointer.questions->next->owner, "n." + longest.substr(2));

    DnsMessage failed;
    EXPECT_FALSE(decodeInto(failed, header(1, 0) + labels(tooLong) + hex("00 01 00 01")));
    ASSERT_NE(failed.questions, nullptr) << "the failed question stays in the list";
    EXPECT_EQ(failed.questions->owner, nullptr);
}

TEST(Decoder, LeavesAFailedQuestionLast)
{
    DnsMessage msg;
    Bytes wire = header(2, 0) + QUESTION + labels("c.d") + hex("00 05 00 03");
    EXPECT_FALSE(decodeInto(msg, wire));
    ASSERT_EQ(msg.countRR(msg.questions), 2);
    EXPECT_STREQ(msg.questions->next->owner, "c.d");
    EXPECT_EQ(msg.questions->next->type, 5u);
    EXPECT_EQ(msg.id, 0x1234);

    DnsMessage shortTail;
    EXPECT_FALSE(decodeInto(shortTail, header(1, 0) + labels("a") + hex("00 01 00")));
    EXPECT_EQ(shortTail.questions->owner, nullptr);
}

TEST(Message, ResetsAndFreesEveryRecord)
{
    DnsMessage msg;
    msg.id = 99;
    msg.setOpcode(10);
    EXPECT_EQ(msg.flags, 0x5100);
    for (int i = 0; i < 100000; ++i)  // a long list must not recurse per record
        msg.addAnswer(record(DNS_TYPE_TXT, "a", "t"));
    msg.addQuestion(DNS_TYPE_A, "q");
    msg.addAuthor(record(DNS_TYPE_NS, "a", "b"));
    msg.reset();
    EXPECT_EQ(msg.flags, 0x0100);
    EXPECT_EQ(msg.id, 99);
    msg.addAnswer(record(DNS_TYPE_A, "x"));
    EXPECT_EQ(msg.countRR(msg.answers), 1) << "lists start afresh after a reset";
}

} // namespace
