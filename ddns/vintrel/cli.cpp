#include <arpa/inet.h>
#include <getopt.h>
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
    "       vintrel -t MYIP -n <ddns_ip> <any_string>\n"
    "       vintrel -t SET [-a <end_ip>|-a auto [-c <seconds>]][-i <end_ipv6>|-i auto] -w <seconds> <FQDN>\n"
    "       vintrel --help | --version\n";

const char OPTION_HELP[] =
    "  -t <type>     tipo da consulta, ou SET (atualiza\xE7\xE3o) ou MYIP\n"
    "  -n <ip>       servidor a consultar, IPv4 ou IPv6 (fe80::1%eth0); padr\xE3o: at\xE9 3 linhas\n"
    "                nameserver de /etc/resolv.conf, na ordem; uma que recusa ou fica\n"
    "                calada d\xE1 lugar \xE0 seguinte. SET e MYIP: s\xF3 IPv4\n"
    "  -b <port>     porta local\n"
    "  -a <end_ip>   SET: endere\xE7o IPv4 a registrar; 0.0.0.0: o que faz rota at\xE9 o servidor;\n"
    "                auto: esse se for p\xFA" "blico, sen\xE3o o que o servidor v\xEA (NAT)\n"
    "  -i <end_ipv6> SET: endere\xE7o IPv6 a registrar; auto: o endere\xE7o global est\xE1vel deste host\n"
    "  -p <passwd>   SET: senha (melhor: vari\xE1vel VINTREL_PASSWORD)\n"
    "  -w <seconds>  SET: continua, atualizando a cada mudan\xE7" "a de endere\xE7o e a cada\n"
    "                <seconds> (10 a 604800)\n"
    "  -c <seconds>  -w com -a auto atr\xE1s de NAT: verifica o endere\xE7o p\xFA" "blico a cada\n"
    "                <seconds> (10 a 86400, padr\xE3o 60; 600 se o roteador responde NAT-PMP)\n"
    "  --help        esta ajuda\n"
    "  --version     a vers\xE3o\n";

// Watch mode refreshes at least every 10 s and at most once a week; behind
// NAT it checks the public address at least every 10 s and at most daily.
const long WATCH_MIN_SECONDS = 10;
const long WATCH_MAX_SECONDS = 604800;
const long CHECK_MIN_SECONDS = 10;
const long CHECK_MAX_SECONDS = 86400;

// Long options get codes no short option has.
enum { OPTION_HELP_CODE = 256, OPTION_VERSION_CODE };
const option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, OPTION_HELP_CODE},
    {"version", no_argument, nullptr, OPTION_VERSION_CODE},
    {nullptr, 0, nullptr, 0},
};

int refuse(const char *message)
{
    fputs(message, stderr);
    return 1;
}

// Keeps the password out of the process listing.
void wipe(char *text) { memset(text, 0, strlen(text)); }

// Decimal digits only, from least to most; 0 otherwise.
long period(const char *text, long least, long most)
{
    long seconds = 0;
    for (const char *cp = text; *cp; ++cp) {
        if (*cp < '0' || *cp > '9' || seconds > most)
            return 0;
        seconds = seconds * 10 + (*cp - '0');
    }
    return seconds >= least && seconds <= most ? seconds : 0;
}

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
    while ((option = getopt_long(argc, argv, "t:n:a:p:b:i:w:c:", LONG_OPTIONS, nullptr)) != -1) {
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
            if (!parseServerAddress(optarg, ScopeErrors::Refuse, &st.nameserver))
                return refuse("Endere\xE7o ip do DNS inv\xE1lido\n");
            if (st.nameserver.isUnspecified())
                st.nameserver = Endpoint();  // names no server: the configured one
            break;
        case 'a':
            st.ipAuto = strcmp(optarg, "auto") == 0;
            if (st.ipAuto) {
                st.ip = 0;
                break;
            }
            st.ip = inet_addr(optarg);
            if (st.ip == INADDR_NONE)
                return refuse("Endere\xE7o ip inv\xE1lido\n");
            break;
        case 'i':
            st.ipv6Auto = strcmp(optarg, "auto") == 0;
            st.ipv6 = nullptr;
            if (st.ipv6Auto)
                break;
            if (inet_pton(AF_INET6, optarg, st.ipv6buf) <= 0)
                return refuse("Endere\xE7o ip inv\xE1lido\n");
            st.ipv6 = st.ipv6buf;
            break;
        case 'w':
            st.watchSeconds = period(optarg, WATCH_MIN_SECONDS, WATCH_MAX_SECONDS);
            if (st.watchSeconds == 0)
                return refuse("Intervalo inv\xE1lido: de 10 a 604800 segundos\n");
            break;
        case 'c':
            st.checkSeconds = period(optarg, CHECK_MIN_SECONDS, CHECK_MAX_SECONDS);
            if (st.checkSeconds == 0)
                return refuse("Intervalo de verifica\xE7\xE3o inv\xE1lido: de 10 a 86400 segundos\n");
            break;
        case OPTION_HELP_CODE:
            fputs(USAGE, stdout);
            fputs(OPTION_HELP, stdout);
            return 0;
        case OPTION_VERSION_CODE:
            puts("vintrel " VINTREL_VERSION);
            return 0;
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
    if (st.watchSeconds != 0 && st.qtype != DNS_TYPE_SETA)
        return refuse("-w s\xF3 vale com -t SET\n");
    if (st.nameserver.family() == AF_INET6 && (st.qtype == DNS_TYPE_SETA || st.opcode == OPCODE_DDNS))
        return refuse("O servidor de atualiza\xE7\xE3o s\xF3 atende por IPv4: -n deve ser um endere\xE7o IPv4\n");
    if (st.checkSeconds != 0 && (st.watchSeconds == 0 || !st.ipAuto))
        return refuse("-c s\xF3 vale com -a auto e -w\n");
    st.qtext = argv[optind];
    return KEEP_GOING;
}
