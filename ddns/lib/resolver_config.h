// The system resolver configuration: the name servers of /etc/resolv.conf.
#ifndef VINTREL_RESOLVER_CONFIG_H
#define VINTREL_RESOLVER_CONFIG_H

#include "endpoint.h"

// The first usable "nameserver" line of /etc/resolv.conf, IPv4 or IPv6, in
// file order, after skipping the first usableLinesToSkip usable ones (so 1
// gives the second server). False when there is no such line.
bool getCurrentDns(Endpoint *server, int usableLinesToSkip = 0);

#endif
