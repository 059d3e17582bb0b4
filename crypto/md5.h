// MD5 message digest (RFC 1321) with an explicit, caller-owned context.
#ifndef VINTREL_MD5_H
#define VINTREL_MD5_H

#include <cstdint>

typedef uint32_t UINT4;

struct MD5_CTX {
    UINT4 buf[4];           // chaining state A, B, C, D
    UINT4 i[2];             // message bits absorbed, modulo 2^64 (low word first)
    unsigned char in[64];   // block being filled
};

extern unsigned char PADDING[64];

void MD5Init(MD5_CTX *mdContext);
void MD5Update(MD5_CTX *mdContext, unsigned char *inBuf, unsigned int inLen);
// Appends padding and length and writes the 16-byte digest. The context is
// not reset: another message needs MD5Init first.
void MD5Final(unsigned char *digest, MD5_CTX *mdContext);
// One compression of a block of 16 words into the state at buf.
void Transform(UINT4 *buf, UINT4 *in);

#endif
