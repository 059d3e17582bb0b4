#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vintrel.h"

namespace {

struct TypeName {
    const char *name;
    int code;
};

// Searched in this order; the first match wins.
const TypeName TYPE_NAMES[] = {
    {"MX", DNS_TYPE_MX},       {"NS", DNS_TYPE_NS},     {"PTR", DNS_TYPE_PTR},
    {"A", DNS_TYPE_A},         {"AAAA", DNS_TYPE_AAAA}, {"CNAME", DNS_TYPE_CNAME},
    {"SET", DNS_TYPE_SETA},    {"MYIP", DNS_TYPE_A},    {"SOA", DNS_TYPE_SOA},
    {"ANY", DNS_TYPE_ANY},     {"TXT", DNS_TYPE_TXT},
};

const char USAGE[] =
    "usage: vintrel [-t <type>] [-n <nameserver_ip>] [-b port] <host_or_domain>\n"
    "          type is one of: A, AAAA, ANY, NS, MX, SOA, CNAME, TXT or PTR\n"
    "       vintrel -t SET [-a <end_ip>][-i <end_ipv6>] -p <passwd> -n <ddns_ip> <FQDN>\n"
    "       vintrel -t MYIP -n <ddns_ip> <any_string>\n";

int refuse(const char *message)
{
    fputs(message, stderr);
    return 1;
}

// Keeps the password out of the process listing.
void wipe(char *text) { memset(text, 0, strlen(text)); }

} // namespace

int typeFromName(const char *name, bool *ddnsOpcode)
{
    for (const TypeName &t : TYPE_NAMES) {
        if (strcasecmp(name, t.name) == 0) {
            if (strcmp(t.name, "MYIP") == 0)
                *ddnsOpcode = true;
            return t.code;
        }
    }
    return 0;
}

int parseCommandLine(int argc, char **argv, Settings &st)
{
    optind = 0;  // start afresh, also when called more than once
    // The environment keeps the password off the command line; -p wins.
    if (const char *pass = getenv("VINTREL_PASSWORD"))
        st.pass = pass;
    int option;
    while ((option = getopt(argc, argv, "t:n:a:p:b:i:")) != -1) {
        switch (option) {
        case 't': {
            bool ddnsOpcode = false;
            int code = typeFromName(optarg, &ddnsOpcode);
            if (code == 0)
                return refuse("tipo de query invalido\n");
            st.qtype = code;
            if (ddnsOpcode)
                st.opcode = OPCODE_DDNS;
            break;
        }
        case 'n':
            st.nameserver_ip = inet_addr(optarg);
            if (st.nameserver_ip == INADDR_NONE)
                return refuse("Endere\xE7o ip do DNS inv\xE1lido\n");
            break;
        case 'a':
            st.ip = inet_addr(optarg);
            if (st.ip == INADDR_NONE)
                return refuse("Endere\xE7o ip inv\xE1lido\n");
            break;
        case 'i':
            if (inet_pton(AF_INET6, optarg, st.ipv6buf) <= 0)
                return refuse("Endere\xE7o ip inv\xE1lido\n");
            st.ipv6 = st.ipv6buf;
            break;
        case 'p':
            st.pass = optarg;
            wipe(optarg);
            break;
        case 'b':
            st.ip_port = atoi(optarg);
            break;
        default:
            break;  // getopt has reported it; reading goes on
        }
    }
    if (argc - 1 != optind)
        return refuse(USAGE);
    st.qtext = argv[optind];
    return KEEP_GOING;
}
