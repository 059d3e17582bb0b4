#include "md5.h"

unsigned char PADDING[64] = {0x80};

namespace {

inline UINT4 rotateLeft(UINT4 x, int n) { return (x << n) | (x >> (32 - n)); }
inline UINT4 F(UINT4 x, UINT4 y, UINT4 z) { return (x & y) | (~x & z); }
inline UINT4 G(UINT4 x, UINT4 y, UINT4 z) { return (x & z) | (y & ~z); }
inline UINT4 H(UINT4 x, UINT4 y, UINT4 z) { return x ^ y ^ z; }
inline UINT4 I(UINT4 x, UINT4 y, UINT4 z) { return y ^ (x | ~z); }

// Additive constants: floor(2^32 * |sin(i)|), i = 1..64.
const UINT4 K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391,
};

// Rotation amounts, four per round.
const int S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// Decodes 4*n little-endian bytes into n words, whatever the host order.
void decodeWords(UINT4 *words, const unsigned char *bytes, int n)
{
    for (int j = 0; j < n; ++j) {
        const unsigned char *b = bytes + 4 * j;
        words[j] = static_cast<UINT4>(b[0]) | (static_cast<UINT4>(b[1]) << 8) |
                   (static_cast<UINT4>(b[2]) << 16) | (static_cast<UINT4>(b[3]) << 24);
    }
}

} // namespace

void MD5Init(MD5_CTX *mdContext)
{
    mdContext->i[0] = mdContext->i[1] = 0;
    mdContext->buf[0] = 0x67452301;
    mdContext->buf[1] = 0xefcdab89;
    mdContext->buf[2] = 0x98badcfe;
    mdContext->buf[3] = 0x10325476;
}

void MD5Update(MD5_CTX *mdContext, unsigned char *inBuf, unsigned int inLen)
{
    unsigned int mdi = (mdContext->i[0] >> 3) & 0x3F;
    const UINT4 addBits = static_cast<UINT4>(inLen) << 3;
    if (mdContext->i[0] + addBits < mdContext->i[0])
        mdContext->i[1]++;
    mdContext->i[0] += addBits;
    mdContext->i[1] += static_cast<UINT4>(inLen) >> 29;

    UINT4 words[16];
    while (inLen--) {
        mdContext->in[mdi++] = *inBuf++;
        if (mdi == 64) {
            decodeWords(words, mdContext->in, 16);
            Transform(mdContext->buf, words);
            mdi = 0;
        }
    }
}

void MD5Final(unsigned char *digest, MD5_CTX *mdContext)
{
    UINT4 words[16];
    words[14] = mdContext->i[0];
    words[15] = mdContext->i[1];
    const unsigned int mdi = (mdContext->i[0] >> 3) & 0x3F;
    const unsigned int padLen = (mdi < 56) ? (56 - mdi) : (120 - mdi);
    MD5Update(mdContext, PADDING, padLen);
    decodeWords(words, mdContext->in, 14);
    Transform(mdContext->buf, words);
    for (int j = 0; j < 4; ++j) {
        for (int k = 0; k < 4; ++k)
            digest[4 * j + k] = static_cast<unsigned char>((mdContext->buf[j] >> (8 * k)) & 0xFF);
    }
}

void Transform(UINT4 *buf, UINT4 *in)
{
    UINT4 a = buf[0], b = buf[1], c = buf[2], d = buf[3];
    for (int step = 0; step < 64; ++step) {
        const int round = step / 16;
        UINT4 f;
        int word;
        switch (round) {
        case 0: f = F(b, c, d); word = step; break;
        case 1: f = G(b, c, d); word = (5 * step + 1) % 16; break;
        case 2: f = H(b, c, d); word = (3 * step + 5) % 16; break;
        default: f = I(b, c, d); word = (7 * step) % 16; break;
        }
        const UINT4 sum = a + f + K[step] + in[word];
        a = d;
        d = c;
        c = b;
        b = b + rotateLeft(sum, S[round][step % 4]);
    }
    buf[0] += a;
    buf[1] += b;
    buf[2] += c;
    buf[3] += d;
}
