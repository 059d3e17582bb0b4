// The system resolver configuration: the name servers of /etc/resolv.conf.
#ifndef VINTREL_RESOLVER_CONFIG_H
#define VINTREL_RESOLVER_CONFIG_H

#include "endpoint.h"

// Usable "nameserver" lines of /etc/resolv.conf used at most, as the C
// library's MAXNS.
const int MAX_NAME_SERVERS = 3;

// The first usable "nameserver" lines of /etc/resolv.conf, IPv4 or IPv6,
// in file order, at most capacity of them, from one reading of the file:
// how many were stored in servers.
int getCurrentDns(Endpoint *servers, int capacity);
// The first usable line alone. False when there is none.
bool getCurrentDns(Endpoint *server);

#endif
