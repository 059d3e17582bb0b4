// Query identifiers an off-path forger cannot guess (RFC 5452): a reply is
// matched by its identifier alone, so the identifier is the secret.
#ifndef VINTREL_QUERY_ID_H
#define VINTREL_QUERY_ID_H

#include <cstdint>

// 16 bits from the kernel's random source (getrandom, else /dev/urandom);
// never blocks. When neither can be read, fallbackQueryId().
uint16_t newQueryId();

// Nanoseconds of two clocks, the process id, a counter and a stack address
// (randomised by the kernel at exec), mixed: weaker than the kernel's source,
// but never the clock alone and never the same twice in a row.
uint16_t fallbackQueryId();

#endif
