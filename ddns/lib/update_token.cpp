#include "update_token.h"

#include <cstring>

#include "md5.h"

namespace {

void hexDigest(char *hash, const unsigned char *digest)
{
    static const char HEX[] = "0123456789ABCDEF";
    for (int k = 0; k < 16; ++k) {
        hash[2 * k] = HEX[digest[k] >> 4];
        hash[2 * k + 1] = HEX[digest[k] & 0x0F];
    }
    hash[32] = '\0';
}

uint32_t firstBytesSum(const unsigned char *ipv6)
{
    return static_cast<uint32_t>(ipv6[0]) + ipv6[1] + ipv6[2] + ipv6[3];
}

} // namespace

void makeHash(char *hash, const char *pass, uint32_t ip)
{
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<unsigned char *>(&ip), 4);
    MD5Update(&context, reinterpret_cast<unsigned char *>(const_cast<char *>(pass)),
              static_cast<unsigned int>(strlen(pass)));
    unsigned char digest[16];
    MD5Final(digest, &context);
    hexDigest(hash, digest);
}

bool matchHash(char *hash, const char *pass, uint32_t ip)
{
    char newhash[33];
    makeHash(newhash, pass, ip);
    return strcmp(hash, newhash) == 0;
}

void makeHashv6(char *hash, const char *pass, unsigned char *ipv6)
{
    makeHash(hash, pass, firstBytesSum(ipv6));
}

bool matchHashv6(char *hash, const char *pass, unsigned char *ipv6)
{
    return matchHash(hash, pass, firstBytesSum(ipv6));
}
