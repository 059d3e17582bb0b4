// The update token of the dynamic-address service: MD5 of an address and
// the password, in hexadecimal.
#ifndef VINTREL_UPDATE_TOKEN_H
#define VINTREL_UPDATE_TOKEN_H

#include <cstdint>

// MD5 of the address's four bytes (as they lie in memory) followed by the
// password, as 32 upper-case hex digits and a NUL.
void makeHash(char *hash, const char *pass, uint32_t ip);
bool matchHash(char *hash, const char *pass, uint32_t ip);
// The IPv6 token is the IPv4 token of the byte sum of the first four
// address bytes.
void makeHashv6(char *hash, const char *pass, unsigned char *ipv6);
bool matchHashv6(char *hash, const char *pass, unsigned char *ipv6);

#endif
