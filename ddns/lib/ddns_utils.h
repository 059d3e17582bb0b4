// Name-server transport (UDP socket, route probe, resolver configuration,
// query exchange) and the update tokens of the dynamic-address service.
#ifndef VINTREL_DDNS_UTILS_H
#define VINTREL_DDNS_UTILS_H

#include <cstdint>

#include "DnsMessage.h"

// How the last exchange ended:
//   0 reply with answers, 1 no name server known, 2 no reply,
//   3 reply without answers, 5 a send failed, 6 a receive failed.
extern int ddnsError;
// Server that sent the last reply accepted by an exchange made without an
// explicit server (network order); 0 until one succeeds.
extern uint32_t current_dns;

// A UDP socket bound to ip_src (0: any) and the low 16 bits of port
// (0: any), or -1. initsock has no effect.
int getUdpSocket(bool initsock, uint32_t ip_src, int port);
void closeUdpSocket(int s, bool shutdownsock);

// The local address the system would use to reach dest_addr, found by
// connecting a datagram socket of its own (nothing is sent). Prints four
// diagnostic lines on every call. False, with *if_addr untouched, when there
// is no route.
bool getBestInterfaceAddress(uint32_t dest_addr, uint32_t *if_addr);
// The same, printing nothing.
bool localAddressTowards(uint32_t dest_addr, uint32_t *if_addr);

// False for the addresses that cannot be reached from the Internet, as a
// host behind a NAT router holds them: 0/8, 10/8, 100.64/10 (carrier-grade
// NAT), 127/8, 169.254/16, 172.16/12, 192.168/16 (network order).
bool isPublicIpv4(uint32_t addr);

// The first usable IPv4 "nameserver" of /etc/resolv.conf.
bool getCurrentDns(uint32_t *ip);
bool getCurrentDns(uint32_t *ip, int dummy);

// Sends msg to port 53 of ip (0: the remembered server, else the configured
// one) in up to 10 passes of 2 s, and decodes the datagram carrying msg.id
// back into msg. True when such a reply was accepted; ddnsError tells more.
// replyFrom, when given, receives the address the accepted reply came from.
bool dns_query_s(int s, DnsMessage &msg, uint32_t ip, uint32_t *replyFrom = nullptr);

// Update token: MD5 of the address's four bytes (as they lie in memory)
// followed by the password, as 32 upper-case hex digits and a NUL.
void makeHash(char *hash, const char *pass, uint32_t ip);
bool matchHash(char *hash, const char *pass, uint32_t ip);
// The IPv6 token is the IPv4 token of the byte sum of the first four
// address bytes.
void makeHashv6(char *hash, const char *pass, unsigned char *ipv6);
bool matchHashv6(char *hash, const char *pass, unsigned char *ipv6);

#endif
