// Wake-ups from the kernel when this host's addresses, routes or links
// change (rtnetlink). The messages themselves are not read for their
// content: each burst only says "look again".
#ifndef VINTREL_ADDRESS_WATCH_H
#define VINTREL_ADDRESS_WATCH_H

// A non-blocking rtnetlink socket subscribed to address, route and link
// changes of both families, with a large receive buffer; -1 on failure.
int openAddressWatch();

// Reads every message waiting on the socket. True when there was at least
// one, or when the kernel dropped some (the socket overflowed): either way
// something may have changed.
bool drainAddressWatch(int fd);

#endif
