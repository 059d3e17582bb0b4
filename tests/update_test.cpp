#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ddns_utils.h"
#include "fake_server.h"
#include "netns.h"
#include "run_tool.h"
#include "vintrel.h"

namespace {

typedef IsolatedNetwork Update;

const std::string ACCEPTED = "; flags: d100\n";

int qtypeOf(const Bytes &q) { return q[q.size() - 3]; }
bool isUpdate(const Bytes &q) { return (q[2] >> 3 & 0x0F) == 10; }

// What the update server sends back for an accepted update.
std::vector<Reply> accept(const Bytes &q, int = 0)
{
    Bytes r = replyTo(q);
    r[2] = 0xD1;
    r[3] = 0x00;
    return {r};
}

std::string tokenFor(const char *pass, const char *address)
{
    char hash[33];
    makeHash(hash, pass, inet_addr(address));
    return hash;
}

TEST_F(Update, RegistersWithTheResponder)
{
    Responder responder("127.0.0.2", "secret");
    ToolRun run = runTool({"-t", "SET", "-n", "127.0.0.2", "-a", "10.0.0.1", "-i", "2001:db8::7",
                           "-p", "secret", "host.example"});
    EXPECT_EQ(run.out, ACCEPTED);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(responder.registered(), "host.example A 10.0.0.1\nhost.example AAAA 2001:db8::7\n");

    ToolRun myip = runTool({"-t", "MYIP", "-n", "127.0.0.2", "whoami"});
    EXPECT_EQ(myip.out, ACCEPTED + ";\n; ANSWERS\n;\nwhoami                        A     127.0.0.1\n");

    ToolRun wrong = runTool({"-t", "SET", "-n", "127.0.0.2", "-a", "10.0.0.2", "-p", "guess", "h.example"});
    EXPECT_EQ(wrong.out, "; flags: d105\nPedido recusado pelo servidor\n");
    EXPECT_EQ(wrong.status, 5);

    Responder open("127.0.0.3", "");
    EXPECT_EQ(runTool({"-t", "SET", "-n", "127.0.0.3", "-a", "10.0.0.3", "h.example"}).status, 0);
    EXPECT_EQ(open.registered(), "h.example A 10.0.0.3\n");
}

TEST_F(Update, WritesOneMessageWithBothRecords)
{
    FakeServer server("127.0.0.2", accept);
    runTool({"-t", "SET", "-n", "127.0.0.2", "-a", "10.0.0.1", "-i", "fe80::1", "-p", "pw", "h.a.b"});
    runTool({"-t", "SET", "-n", "127.0.0.2", "h.a.b"});
    auto got = server.received();
    ASSERT_EQ(got.size(), 2u);
    const Bytes &both = got[0].data;
    ASSERT_EQ(both.size(), 127u);
    EXPECT_EQ(Bytes(both.begin() + 2, both.begin() + 12), hex("51 00 00 00 00 02 00 00 00 00"));
    EXPECT_EQ(Bytes(both.begin() + 12, both.begin() + 34),
              labels("h.a.b") + hex("00 C9 00 01 00000000 0025 0A000001 20"));
    EXPECT_EQ(std::string(both.begin() + 34, both.begin() + 66), tokenFor("pw", "10.0.0.1"));
    EXPECT_EQ(Bytes(both.begin() + 66, both.begin() + 78), hex("C0 0C 00 CB 00 01 00000000 0031"));
    EXPECT_EQ(std::string(both.begin() + 95, both.end()), tokenFor("pw", "126.1.0.0"));
    EXPECT_EQ(Bytes(got[1].data.begin() + 2, got[1].data.end()), hex("51 00 00 00 00 00 00 00 00 00"));
}

TEST_F(Update, ProbesTheRouteForAddressZero)
{
    FakeServer server("127.0.0.2", accept);
    ToolRun run = runTool({"-t", "SET", "-n", "127.0.0.2", "-a", "0.0.0.0", "h.a.b"});
    EXPECT_EQ(run.out.rfind("rc=0\nrc=0\nSock IP address: 127.0.0.1\nSock port      : ", 0), 0u);
    EXPECT_NE(run.out.find("\nRegistrando inteface 127.0.0.1\n" + ACCEPTED), std::string::npos) << run.out;
    auto got = server.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0].data.begin() + 29, got[0].data.begin() + 33), hex("7F000001"));

    // Without a route the record asks the server to take the source address.
    Settings st;
    st.ip = 0;
    st.nameserver_ip = inet_addr("192.0.2.1");
    st.qtext = "h.a.b";
    DnsMessage msg;
    testing::internal::CaptureStdout();
    prepareUpdate(-1, msg, st);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("rc=-1\nrc=0\nSock IP address: 0.0.0.0\n", 0), 0u) << out;
    EXPECT_NE(out.find("\nRota n\xE3o encontrada. Deixando o servidor ver o IP...\n"),
              std::string::npos) << out;
    ASSERT_NE(msg.answers, nullptr);
    EXPECT_EQ(msg.answers->ip_pref, 0u);
    EXPECT_EQ(msg.answers->resource, tokenFor("", "0.0.0.0"));
}

// The parent zone's server for host.example, scripted per case.
struct DiscoveryCase {
    const char *what;
    std::string name;
    std::function<Bytes(const Bytes &)> nsReply, aReply;
    std::string out;
    int parentQueries;  // NS and A questions the parent server receives
    bool updateAtResponder;
};

Bytes nsAnswer(const Bytes &q, const char *glueOwner)
{
    Bytes ns = hex("C0 0C 00 02 00 01 00000E10 0005 02 6E 73 C0 0C");  // ns.example
    Bytes reply = replyTo(q, 0, ns, 1);
    if (!glueOwner)
        return reply;
    reply[11] = 1;
    return reply + labels(glueOwner) + hex("00 01 00 01 00000E10 0004 7F000002");
}

TEST_F(Update, FindsTheUpdateServerThroughTheParentDomain)
{
    const std::string notFound = "Servidor DDNS n\xE3o existente ou n\xE3o encontrado.\n";
    const DiscoveryCase cases[] = {
        {"glue differing in case", "host.example", [](const Bytes &q) { return nsAnswer(q, "NS.Example"); },
         nullptr, ACCEPTED, 1, true},
        {"no glue: A query", "host.example", [](const Bytes &q) { return nsAnswer(q, nullptr); },
         [](const Bytes &q) { return answerA(q, "127.0.0.2"); }, ACCEPTED, 2, true},
        {"A reply holds no A record", "host.example", [](const Bytes &q) { return nsAnswer(q, nullptr); },
         [](const Bytes &q) { return replyTo(q, 0, hex("C0 0C 00 05 00 01 00000E10 0002 C0 0C"), 1); },
         "Ip do servidor DDNS ns.example n\xE3o encontrado.\n" + ACCEPTED, 2, false},
        {"NS reply without answers", "host.example", [](const Bytes &q) { return replyTo(q, 3); },
         nullptr, notFound + ACCEPTED, 1, false},
        {"NS answer without a readable host", "host.example",
         [](const Bytes &q) { return replyTo(q, 0, hex("C0 0C 00 02 00 01 00000E10 0001 41"), 1); },
         nullptr, notFound + ACCEPTED, 1, false},
        {"name without a dot", "host", nullptr, nullptr, "nome inv\xE1lido\n" + ACCEPTED, 0, false},
    };
    for (const DiscoveryCase &c : cases) {
        FakeServer responder("127.0.0.2", accept);
        FakeServer parent("127.0.0.1", [&](const Bytes &q, int) {
            if (isUpdate(q))
                return accept(q);
            return std::vector<Reply>{{(qtypeOf(q) == 2 ? c.nsReply : c.aReply)(q)}};
        });
        writeResolvConf("nameserver 127.0.0.1\n");
        ToolRun run = runTool({"-t", "SET", "-a", "0.0.0.0", "-p", "pw", c.name});
        std::string out = run.out;
        if (c.updateAtResponder) {  // the route probe ran towards 127.0.0.2
            const std::string found = "Registrando inteface 127.0.0.1\n";
            size_t at = out.find(found);
            ASSERT_NE(at, std::string::npos) << c.what << "\n" << out;
            out = out.substr(at + found.size());
        }
        EXPECT_EQ(out, c.out) << c.what;
        auto asked = parent.received();
        int parentQueries = 0;
        for (const Datagram &d : asked)
            parentQueries += !isUpdate(d.data);
        EXPECT_EQ(parentQueries, c.parentQueries) << c.what;
        if (c.parentQueries > 0) {
            EXPECT_EQ(Bytes(asked[0].data.begin() + 12, asked[0].data.end()),
                      labels("example") + hex("00 02 00 01")) << "NS question for the parent";
        }
        EXPECT_EQ(responder.received().size(), c.updateAtResponder ? 1u : 0u) << c.what;
    }
}

} // namespace
