#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ddns_utils.h"
#include "md5.h"

namespace {

std::string md5Hex(const std::string &message, size_t piece = 0)
{
    MD5_CTX ctx;
    MD5Init(&ctx);
    unsigned char *bytes = reinterpret_cast<unsigned char *>(const_cast<char *>(message.data()));
    if (piece == 0) {
        MD5Update(&ctx, bytes, static_cast<unsigned int>(message.size()));
    } else {
        for (size_t at = 0; at < message.size(); at += piece) {
            MD5Update(&ctx, bytes + at, 0);
            MD5Update(&ctx, bytes + at, static_cast<unsigned int>(std::min(piece, message.size() - at)));
        }
    }
    unsigned char digest[16];
    MD5Final(digest, &ctx);
    char text[33];
    for (int k = 0; k < 16; ++k)
        snprintf(text + 2 * k, 3, "%02x", digest[k]);
    return text;
}

TEST(Md5, MatchesKnownDigests)
{
    const std::pair<std::string, const char *> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {std::string(80, '0').replace(0, 80, "1234567890123456789012345678901234567890"
                                             "1234567890123456789012345678901234567890"),
         "57edf4a22be3c955ac49da2e2107b67a"},
        // Around the padding boundaries.
        {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
        {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
        {std::string(63, 'x'), "7dc2ca208106a2f703567bdff99d8981"},
        {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
        {std::string(65, 'x'), "1bc932052302d074bdec39795fe00cf6"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(md5Hex(c.first), c.second) << c.first.size() << " bytes";
        for (size_t piece : {1u, 7u, 64u})
            EXPECT_EQ(md5Hex(c.first, piece), c.second) << "pieces of " << piece;
    }
}

TEST(Md5, CarriesTheBitCountIntoItsHighWord)
{
    MD5_CTX ctx;
    MD5Init(&ctx);
    ctx.i[0] = 0xFFFFFFF8u;
    unsigned char byte = 0;
    MD5Update(&ctx, &byte, 1);
    EXPECT_EQ(ctx.i[0], 0u);
    EXPECT_EQ(ctx.i[1], 1u);
}

TEST(Token, DigestsAddressBytesThenPassword)
{
    char hash[40];
    memset(hash, '#', sizeof hash);
    makeHash(hash, "", inet_addr("10.0.0.1"));
    EXPECT_STREQ(hash, "36281222A4A9D8FCB0CB39F0FF87CC3B");
    EXPECT_EQ(hash[33], '#') << "nothing written past the terminator";

    makeHash(hash, "secret", inet_addr("10.0.0.1"));
    EXPECT_STREQ(hash, "AF05B4C443E68B873A2FD73AF66DE2F0");
    EXPECT_TRUE(matchHash(hash, "secret", inet_addr("10.0.0.1")));
    EXPECT_FALSE(matchHash(hash, "secret", inet_addr("10.0.0.2")));
    EXPECT_FALSE(matchHash(hash, "Secret", inet_addr("10.0.0.1")));
    char lower[] = "af05b4c443e68b873a2fd73af66de2f0";
    EXPECT_FALSE(matchHash(lower, "secret", inet_addr("10.0.0.1")));
    char newline[] = "AF05B4C443E68B873A2FD73AF66DE2F0\n";
    EXPECT_FALSE(matchHash(newline, "secret", inet_addr("10.0.0.1")));
}

TEST(Token, IPv6TokenDependsOnTheSumOfTheFirstFourBytes)
{
    unsigned char a[16], b[16], c[16];
    inet_pton(AF_INET6, "fe80::1", a);
    inet_pton(AF_INET6, "fe80::dead:beef", b);
    inet_pton(AF_INET6, "80fe::1", c);
    char ha[33], hb[33], hc[33];
    makeHashv6(ha, "secret", a);
    makeHashv6(hb, "secret", b);
    makeHashv6(hc, "secret", c);
    EXPECT_STREQ(ha, "19E5EF65E7DF378753CF582992FFC415");
    EXPECT_STREQ(ha, hb);
    EXPECT_STREQ(ha, hc);
    EXPECT_TRUE(matchHashv6(ha, "secret", b));
    EXPECT_FALSE(matchHashv6(ha, "other", a));
}

} // namespace
