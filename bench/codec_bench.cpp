// Codec and token benchmarks, with the same datagrams parsed by ldns and
// libknot when they were found at configure time, so that every ratio comes
// from one run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "DnsMessage.h"
#include "ddns_utils.h"

#ifdef HAVE_LDNS
#include <ldns/ldns.h>
#endif
#ifdef HAVE_LIBKNOT
extern "C" {
#include <libknot/libknot.h>
}
#endif

namespace {

typedef std::vector<uint8_t> Datagram;

DnsRR *record(uint32_t type, const char *owner, const char *resource, uint32_t value)
{
    DnsRR *rr = new DnsRR;
    rr->type = type;
    rr->ttl = 3600;
    rr->ip_pref = value;
    rr->setOwner(owner);
    if (resource)
        rr->setResource(resource);
    return rr;
}

Datagram wire(DnsMessage &msg)
{
    char area[DNS_ENCODE_AREA];
    int n = msg.encode(area);
    return Datagram(area, area + (n > 0 ? n : 0));
}

Datagram aReply()
{
    DnsMessage m;
    m.flags = 0x8180;
    m.addQuestion(DNS_TYPE_A, "a.b");
    m.addAnswer(record(DNS_TYPE_A, "a.b", nullptr, inet_addr("10.0.0.1")));
    return wire(m);
}

// An MX reply with authority and additional glue, about 250 bytes.
Datagram mxReply()
{
    DnsMessage m;
    m.flags = 0x8580;
    m.addQuestion(DNS_TYPE_MX, "example-company.test");
    const char *exchanges[] = {"mx1.mail.example-company.test", "mx2.mail.example-company.test",
                               "backup-mx.example-provider.test"};
    for (int i = 0; i < 3; ++i)
        m.addAnswer(record(DNS_TYPE_MX, "example-company.test", exchanges[i], 10 * (i + 1)));
    m.addAuthor(record(DNS_TYPE_NS, "example-company.test", "ns1.example-company.test", 0));
    m.addAuthor(record(DNS_TYPE_NS, "example-company.test", "ns2.example-provider.test", 0));
    for (int i = 0; i < 3; ++i)
        m.addAditional(record(DNS_TYPE_A, exchanges[i], nullptr, htonl(0xC000020A + i)));
    m.addAditional(record(DNS_TYPE_A, "ns1.example-company.test", nullptr, inet_addr("192.0.2.53")));
    return wire(m);
}

// 512 bytes: 29 compressed A records and an empty TXT string.
Datagram fullReply()
{
    DnsMessage m;
    m.flags = 0x8180;
    m.addQuestion(DNS_TYPE_A, "host.example.test");
    for (int i = 0; i < 29; ++i)
        m.addAnswer(record(DNS_TYPE_A, "host.example.test", nullptr, htonl(0x0A000001 + i)));
    m.addAditional(record(DNS_TYPE_TXT, "host.example.test", "", 0));
    return wire(m);
}

void reportBytes(benchmark::State &state, size_t size)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.counters["bytes"] = static_cast<double>(size);
}

void encodeRepeatedly(benchmark::State &state, DnsMessage &m)
{
    char area[DNS_ENCODE_AREA];
    int n = 0;
    for (auto _ : state) {
        n = m.encode(area);
        benchmark::DoNotOptimize(area);
    }
    reportBytes(state, static_cast<size_t>(n));
}

void BM_EncodeAQuery(benchmark::State &state)
{
    DnsMessage m;
    m.addQuestion(DNS_TYPE_A, "www.example.test");
    encodeRepeatedly(state, m);
}

void BM_EncodeUpdate(benchmark::State &state)
{
    DnsMessage m;
    m.setOpcode(10);
    const std::string token(32, 'F');
    m.addAnswer(record(DNS_TYPE_SETA, "myhost.dyn.example.test", token.c_str(), inet_addr("10.0.0.1")));
    m.addAnswer(record(DNS_TYPE_SETAAAA, "myhost.dyn.example.test", token.c_str(), 0));
    encodeRepeatedly(state, m);
}

void decodeWithVintrel(benchmark::State &state, const Datagram &d)
{
    for (auto _ : state) {
        DnsMessage m;
        benchmark::DoNotOptimize(m.decode(d.data(), static_cast<int>(d.size()), false));
    }
    reportBytes(state, d.size());
}

#ifdef HAVE_LDNS
void decodeWithLdns(benchmark::State &state, const Datagram &d)
{
    for (auto _ : state) {
        ldns_pkt *pkt = nullptr;
        if (ldns_wire2pkt(&pkt, d.data(), d.size()) != LDNS_STATUS_OK)
            state.SkipWithError("ldns refused the datagram");
        ldns_pkt_free(pkt);
    }
    reportBytes(state, d.size());
}
#endif

#ifdef HAVE_LIBKNOT
void decodeWithKnot(benchmark::State &state, const Datagram &d)
{
    std::vector<uint8_t> copy = d;
    for (auto _ : state) {
        knot_pkt_t *pkt = knot_pkt_new(copy.data(), copy.size(), nullptr);
        if (knot_pkt_parse(pkt, 0) != KNOT_EOK)
            state.SkipWithError("libknot refused the datagram");
        knot_pkt_free(pkt);
    }
    reportBytes(state, d.size());
}
#endif

void BM_MakeHash(benchmark::State &state)
{
    char hash[33];
    for (auto _ : state) {
        makeHash(hash, "a shared secret", inet_addr("198.51.100.4"));
        benchmark::DoNotOptimize(hash);
    }
}

void registerDecoders(const char *name, const Datagram &d)
{
    benchmark::RegisterBenchmark((std::string("Decode/") + name + "/vintrel").c_str(),
                                 decodeWithVintrel, d);
#ifdef HAVE_LDNS
    benchmark::RegisterBenchmark((std::string("Decode/") + name + "/ldns").c_str(), decodeWithLdns, d);
#endif
#ifdef HAVE_LIBKNOT
    benchmark::RegisterBenchmark((std::string("Decode/") + name + "/libknot").c_str(), decodeWithKnot,
                                 d);
#endif
}

} // namespace

BENCHMARK(BM_EncodeAQuery);
BENCHMARK(BM_EncodeUpdate);
BENCHMARK(BM_MakeHash);

int main(int argc, char **argv)
{
    registerDecoders("A-37", aReply());
    registerDecoders("MX-glue", mxReply());
    registerDecoders("full-512", fullReply());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
