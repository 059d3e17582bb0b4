#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "ddns_utils.h"
#include "ipv6_pick.h"
#include "query_id.h"
#include "tcp_exchange.h"
#include "vintrel.h"

namespace {

// The update server's address for name, through the NS records of its
// parent domain; 0 when it cannot be found (the reason is printed).
uint32_t findUpdateServer(QuerySockets &sockets, const char *name)
{
    const char *dot = strchr(name, '.');
    if (!dot) {
        puts("nome inv\xE1lido");
        return 0;
    }
    std::string host;
    uint32_t server = 0;
    const uint16_t nsId = newQueryId();
    {
        DnsMessage nsQuery;
        nsQuery.id = nsId;
        nsQuery.addQuestion(DNS_TYPE_NS, dot + 1);
        if (!dns_query_s(sockets, nsQuery, Endpoint()) || !nsQuery.answers || !nsQuery.answers->resource) {
            puts("Servidor DDNS n\xE3o existente ou n\xE3o encontrado.");
            return 0;
        }
        host = nsQuery.answers->resource;
        for (DnsRR *rr = nsQuery.aditional; rr; rr = rr->next) {
            if (rr->type == DNS_TYPE_A && rr->owner && strcasecmp(rr->owner, host.c_str()) == 0) {
                server = rr->ip_pref;
                break;
            }
        }
    }
    if (server != 0)
        return server;

    DnsMessage aQuery;
    // Never the NS question's identifier: a late duplicate of the NS reply
    // would pass for the A reply.
    aQuery.id = newQueryId();
    if (aQuery.id == nsId)
        aQuery.id = static_cast<uint16_t>(nsId + 1);
    aQuery.addQuestion(DNS_TYPE_A, host.c_str());
    if (dns_query_s(sockets, aQuery, Endpoint()))
        server = firstAnswerAddress(aQuery);
    if (server == 0)
        printf("Ip do servidor DDNS %s n\xE3o encontrado.\n", escapeNetworkText(host.c_str()).c_str());
    return server;
}

DnsRR *updateRecord(int type, const char *owner, const char *token)
{
    DnsRR *rr = new DnsRR;
    rr->type = static_cast<uint32_t>(type);
    rr->ttl = 0;
    rr->setOwner(owner);
    rr->setResource(token);
    return rr;
}

// -i auto: the host's stable global address now, or none (then no IPv6
// record is sent).
void pickIpv6(Settings &st)
{
    st.ipv6 = stableIpv6Address(st.ipv6buf) ? st.ipv6buf : nullptr;
    if (!st.ipv6) {
        puts("Endere\xE7o IPv6 global est\xE1vel n\xE3o encontrado: nenhum registro IPv6 enviado");
        return;
    }
    char text[INET6_ADDRSTRLEN];
    printf("Registrando IPv6 %s\n", inet_ntop(AF_INET6, st.ipv6, text, sizeof text));
}

// The question of an ordinary or MYIP run.
void addQuery(const Settings &st, DnsMessage &msg)
{
    if (st.opcode == OPCODE_DDNS)
        msg.setOpcode(OPCODE_DDNS);
    msg.addQuestion(st.qtype, st.qtext);
}

// Only answers to ordinary questions are worth asking again: the update
// service speaks UDP alone.
bool wantsWholeAnswer(const Settings &st, const DnsMessage &reply)
{
    return (reply.flags & DNS_FLAG_TC) && st.qtype != DNS_TYPE_SETA && st.opcode != OPCODE_DDNS;
}

const char *tcpFailure(TcpOutcome outcome)
{
    switch (outcome) {
    case TcpOutcome::Refused:
        return "conex\xE3o recusada";
    case TcpOutcome::TimedOut:
        return "tempo esgotado";
    case TcpOutcome::Closed:
        return "conex\xE3o encerrada antes do fim da resposta";
    default:
        return "resposta inv\xE1lida";
    }
}

// A truncated reply from server: the whole answer over TCP, else the
// truncated one and a line saying that it is incomplete.
int reportTruncated(const Settings &st, DnsMessage &truncated, const Endpoint &server)
{
    DnsMessage whole;
    addQuery(st, whole);
    whole.id = newQueryId();
    const TcpOutcome outcome = dnsQueryTcp(whole, server);
    if (outcome == TcpOutcome::Whole) {
        printReply(whole);
        return reportReplyCode(whole.getError());
    }
    printReply(truncated);
    reportReplyCode(truncated.getError());
    printf("Resposta incompleta: o servidor a truncou e a consulta por TCP falhou (%s)\n",
           tcpFailure(outcome));
    return INCOMPLETE_ANSWER;
}

} // namespace

void prepareSetA(QuerySockets &sockets, uint32_t &ip, uint32_t &dns_ip, const char *name)
{
    if (dns_ip == 0) {
        dns_ip = findUpdateServer(sockets, name);
        if (dns_ip == 0)
            return;
    }
    if (ip != 0)
        return;
    if (getBestInterfaceAddress(dns_ip, &ip)) {
        in_addr local;
        local.s_addr = ip;
        printf("Registrando inteface %s\n", inet_ntoa(local));
    } else {
        puts("Rota n\xE3o encontrada. Deixando o servidor ver o IP...");
        ip = 0;
    }
}

namespace {

// -a auto, after discovery: which address goes in the update, and why.
// Behind NAT it is the public address itself, learned now or handed over
// by the watcher, so that the update's token holds for that one address:
// whoever copies the update can only register the same address again.
uint32_t chooseAutoAddress(QuerySockets &sockets, Settings &st, uint32_t server)
{
    uint32_t local;
    const uint32_t chosen = autoAddress(server, &local);
    in_addr shown;
    shown.s_addr = local;
    if (local == 0) {
        puts("Rota n\xE3o encontrada. Deixando o servidor ver o IP...");
        return 0;
    }
    if (chosen != 0) {
        printf("Registrando interface %s: endere\xE7o p\xFA" "blico\n", inet_ntoa(shown));
        return chosen;
    }
    st.behindNat = true;
    printf("Endere\xE7o local %s n\xE3o \xE9 p\xFA" "blico (NAT)\n", inet_ntoa(shown));
    if (st.learnPublic || st.seen.address == 0) {
        st.seen = learnPublicAddress(sockets, server, st.qtext);
        printPublicView(st.seen);
    }
    if (st.seen.address == 0)
        puts("Enviando o endere\xE7o 0: o servidor registra o endere\xE7o de onde vem a atualiza\xE7\xE3o");
    return st.seen.address;
}

} // namespace

void printPublicView(const PublicView &view)
{
    in_addr shown;
    shown.s_addr = view.address;
    if (view.source == PublicSource::None)
        puts("Endere\xE7o p\xFA" "blico desconhecido: sem resposta do roteador nem do servidor");
    else
        printf("Endere\xE7o p\xFA" "blico %s (%s)\n", inet_ntoa(shown),
               view.source == PublicSource::Gateway ? "informado pelo roteador" : "visto pelo servidor");
}

bool prepareUpdate(QuerySockets &sockets, DnsMessage &msg, Settings &st)
{
    // The update service is reached over IPv4 only (the command line
    // refuses an IPv6 server for it).
    uint32_t server = st.nameserver.ipv4Address();
    if (st.ipAuto) {
        uint32_t noProbe = NO_ADDRESS;  // the choice below probes quietly
        prepareSetA(sockets, noProbe, server, st.qtext);
        if (server == 0) {
            // The discovery said why. The resolver is not the update
            // server, and an update of address 0 sent there could be
            // replayed from anywhere: nothing is sent.
            st.nameserver = Endpoint();
            return false;
        }
        st.ip = chooseAutoAddress(sockets, st, server);
    } else {
        prepareSetA(sockets, st.ip, server, st.qtext);
    }
    st.nameserver = server != 0 ? Endpoint::ipv4(server) : Endpoint();
    if (st.ipv6Auto)
        pickIpv6(st);
    msg.setOpcode(OPCODE_DDNS);
    char hash[33];
    if (st.ip != NO_ADDRESS) {
        makeHash(hash, st.pass.c_str(), st.ip);
        DnsRR *rr = updateRecord(DNS_TYPE_SETA, st.qtext, hash);
        rr->ip_pref = st.ip;
        msg.addAnswer(rr);
    }
    if (st.ipv6) {
        makeHashv6(hash, st.pass.c_str(), st.ipv6);
        DnsRR *rr = updateRecord(DNS_TYPE_SETAAAA, st.qtext, hash);
        memcpy(rr->ipv6, st.ipv6, 16);
        msg.addAnswer(rr);
    }
    return true;
}

int runQuery(Settings &st)
{
    QuerySockets sockets(st.ip_port);
    DnsMessage message;
    if (st.qtype == DNS_TYPE_SETA && !prepareUpdate(sockets, message, st))
        return NO_UPDATE_SERVER;
    if (st.qtype != DNS_TYPE_SETA)
        addQuery(st, message);
    message.id = newQueryId();
    Endpoint replyFrom;
    if (!dns_query_s(sockets, message, st.nameserver, &replyFrom)) {
        puts("N\xE3o foi possivel obter uma resposta do servidor");
        return -1;
    }
    if (wantsWholeAnswer(st, message))
        return reportTruncated(st, message, replyFrom);
    printReply(message);
    return reportReplyCode(message.getError());
}
