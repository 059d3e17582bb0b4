// The vintrel command: option reading, one query or update run, and the
// listing of the reply.
#ifndef VINTREL_VINTREL_H
#define VINTREL_VINTREL_H

#include <cstdint>
#include <string>

#include "DnsMessage.h"
#include "endpoint.h"
#include "public_address.h"
#include "udp_exchange.h"

// What one run does, as the command line sets it.
struct Settings {
    int qtype = DNS_TYPE_A;
    int opcode = 1;                  // 10 sends the question with opcode 10 (MYIP)
    Endpoint nameserver;             // none: the remembered or configured server
    uint32_t ip = 0xFFFFFFFF;        // -a; NO_ADDRESS: none, 0: find it
    bool ipAuto = false;             // -a auto: the local address if public, else the server's view
    unsigned char ipv6buf[16] = {};
    unsigned char *ipv6 = nullptr;   // points at ipv6buf once -i is given
    bool ipv6Auto = false;           // -i auto: this host's stable global address
    long watchSeconds = 0;           // -w: keep the name current, refresh period; 0: one run
    long checkSeconds = 0;           // -c: public-address check period behind NAT; 0: the default
    int ip_port = 0;                 // local port; 0: any
    std::string pass;
    const char *qtext = nullptr;
    // -a auto behind NAT: the public address is registered by value. The
    // watcher asks an attempt to learn it afresh (learnPublic) or hands over
    // what it learned (seen); a one-shot run learns it. After the run, seen
    // holds what was used and behindNat whether the local address was not
    // public.
    bool learnPublic = false;
    PublicView seen;
    bool behindNat = false;
};

// The ip setting when no IPv4 address is to be registered (no 201 record).
const uint32_t NO_ADDRESS = 0xFFFFFFFF;
const int KEEP_GOING = -1;
// Exit status of a truncated answer that TCP could not complete: above
// every reply code (0-15).
const int INCOMPLETE_ANSWER = 16;
// Exit status of -a auto when discovery found no update server: no update
// was sent anywhere.
const int NO_UPDATE_SERVER = 17;

// Reads argv into st. KEEP_GOING when the run may start, else the exit
// status (1) after the message or usage text on standard error. The
// password comes from -p (wiped from argv once copied), else from
// VINTREL_PASSWORD, else it is empty.
int parseCommandLine(int argc, char **argv, Settings &st);

// The type code for a -t name (case-insensitive), 0 for an unknown one.
// Sets *ddnsOpcode for MYIP.
int typeFromName(const char *name, bool *ddnsOpcode);

// One run: build, send, print the reply; the exit status (-1: no reply).
// For an update, st is left holding what was sent: the server in
// nameserver (IPv4), the addresses in ip and ipv6.
int runQuery(Settings &st);

// Watch mode (-w): updates at start, on address changes, at each refresh
// and on SIGHUP, until SIGTERM or SIGINT; the exit status.
int runWatch(const Settings &st);

// Finds the update server through the parent domain's NS records when
// dns_ip is 0, and the local address facing it when ip is 0.
void prepareSetA(QuerySockets &sockets, uint32_t &ip, uint32_t &dns_ip, const char *name);

// One line: the public address and who gave it, or that none answered.
void printPublicView(const PublicView &view);

// Fills msg with the update records for st (after discovery). False when
// -a auto found no update server: nothing is to be sent then.
bool prepareUpdate(QuerySockets &sockets, DnsMessage &msg, Settings &st);

// Prints one record as a listing line (nothing for types it does not list).
void outRecord(DnsRR *rrp);

// Network text made safe for a terminal: bytes 0x00-0x1F and 0x7F-0x9F
// become a backslash and three decimal digits.
std::string escapeNetworkText(const char *text);

// Prints the flags line and the non-empty sections of a reply.
void printReply(DnsMessage &msg);
// Prints the reply-code line and gives the exit status.
int reportReplyCode(int code);

#endif
