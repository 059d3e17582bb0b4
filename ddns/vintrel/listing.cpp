#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

#include "vintrel.h"

std::string escapeNetworkText(const char *text)
{
    std::string shown;
    if (!text)
        return shown;
    for (const unsigned char *cp = reinterpret_cast<const unsigned char *>(text); *cp; ++cp) {
        const unsigned char c = *cp;
        if (c <= 0x1F || (c >= 0x7F && c <= 0x9F)) {
            char digits[5];
            snprintf(digits, sizeof digits, "\\%03u", c);
            shown += digits;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

void outRecord(DnsRR *rrp)
{
    const std::string owner = escapeNetworkText(rrp->owner);
    const std::string resource = escapeNetworkText(rrp->resource);
    const char *o = owner.c_str();
    const char *r = resource.c_str();
    switch (rrp->type) {
    case DNS_TYPE_A: {
        in_addr addr;
        addr.s_addr = rrp->ip_pref;
        printf("%-30sA     %s\n", o, inet_ntoa(addr));
        break;
    }
    case DNS_TYPE_NS:
        printf("%-30sNS    %s\n", o, r);
        break;
    case DNS_TYPE_CNAME:
        printf("%-30sCNAME %s\n", o, r);
        break;
    case DNS_TYPE_SOA:
        // Serials use the whole 32-bit range.
        printf("%-30sSOA   * %s %u * * * %u\n", o, r, rrp->ip_pref, rrp->ttl);
        break;
    case DNS_TYPE_PTR:
        printf("%-30sPTR   %s\n", o, r);
        break;
    case DNS_TYPE_MX:
        printf("%-30sMX    %d %s\n", o, static_cast<int>(rrp->ip_pref), r);
        break;
    case DNS_TYPE_TXT:
        printf("%-30sTXT   \"%s\"\n", o, r);
        break;
    case DNS_TYPE_AAAA: {
        char text[50];
        inet_ntop(AF_INET6, rrp->ipv6, text, sizeof text);
        printf("%-30sAAAA  %s\n", o, text);
        break;
    }
    default:
        break;
    }
}

namespace {

void printSection(const char *heading, DnsRR *list)
{
    if (!list)
        return;
    puts(heading);
    for (DnsRR *rr = list; rr; rr = rr->next)
        outRecord(rr);
}

} // namespace

void printReply(DnsMessage &msg)
{
    printf("; flags: %04x\n", msg.flags);
    printSection(";\n; ANSWERS\n;", msg.answers);
    printSection(";\n; AUTHORITATIVE SERVERS\n;", msg.author);
    printSection(";\n; ADITIONAL RECORDS\n;", msg.aditional);
}

int reportReplyCode(int code)
{
    switch (code) {
    case 0:
    case 6:
        return 0;
    case 2:
        puts("Falha no servidor");
        break;
    case 3:
        puts("Nome n\xE3o Encontrado");
        break;
    case 4:
        puts("Tipo n\xE3o suportado pelo servidor");
        break;
    case 5:
        puts("Pedido recusado pelo servidor");
        break;
    default:
        printf("Erro %d \n", code);
        break;
    }
    return code;
}
