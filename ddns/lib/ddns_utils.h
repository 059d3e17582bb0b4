// The name-server transport (the UDP exchange and its sockets, the route
// probe, the resolver configuration) and the update tokens of the
// dynamic-address service.
#ifndef VINTREL_DDNS_UTILS_H
#define VINTREL_DDNS_UTILS_H

#include "endpoint.h"
#include "resolver_config.h"
#include "route_probe.h"
#include "udp_exchange.h"
#include "update_token.h"

#endif
