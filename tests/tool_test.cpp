#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_server.h"
#include "netns.h"
#include "run_tool.h"

namespace {

typedef IsolatedNetwork Tool;

const std::string USAGE =
    "usage: vintrel [-t <type>] [-n <nameserver_ip>] [-b port] <host_or_domain>\n"
    "          type is one of: A, AAAA, ANY, NS, MX, SOA, CNAME, TXT or PTR\n"
    "       vintrel -t SET [-a <end_ip>][-i <end_ipv6>] -p <passwd> -n <ddns_ip> <FQDN>\n"
    "       vintrel -t MYIP -n <ddns_ip> <any_string>\n";

// A reply carrying the given records (already counted in an/ns/ar).
Bytes withRecords(const Bytes &q, const Bytes &records, int an, int ns = 0, int ar = 0, int rcode = 0)
{
    Bytes r = replyTo(q, rcode, records, an);
    r[9] = static_cast<uint8_t>(ns);
    r[11] = static_cast<uint8_t>(ar);
    return r;
}

Bytes rr(int type, const Bytes &rdata, const Bytes &owner = hex("C0 0C"))
{
    return owner + Bytes{0, static_cast<uint8_t>(type), 0, 1, 0, 0, 0, 60, 0,
                         static_cast<uint8_t>(rdata.size())} + rdata;
}

TEST_F(Tool, RejectsBadCommandLinesWithoutSending)
{
    FakeServer server("127.0.0.1");
    writeResolvConf("nameserver 127.0.0.1\n");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, USAGE},
        {{"a.test", "b.test"}, USAGE},
        {{"-t", "HINFO", "a.test"}, "tipo de query invalido\n"},
        {{"-n", "255.255.255.255", "a.test"}, "Endere\xE7o ip do DNS inv\xE1lido\n"},
        {{"-n", "localhost", "a.test"}, "Endere\xE7o ip do DNS inv\xE1lido\n"},
        {{"-t", "SET", "-a", "10.0.0.300", "a.test"}, "Endere\xE7o ip inv\xE1lido\n"},
        {{"-t", "SET", "-i", "10.0.0.1", "a.test"}, "Endere\xE7o ip inv\xE1lido\n"},
    };
    for (const auto &c : cases) {
        ToolRun run = runTool(c.first);
        EXPECT_EQ(run.status, 1) << c.second;
        EXPECT_EQ(run.err, c.second);
        EXPECT_EQ(run.out, "");
    }
    usleep(100000);
    EXPECT_TRUE(server.received().empty());
}

TEST_F(Tool, SendsTheQuestionTheOptionsAskFor)
{
    FakeServer server("127.0.0.1", [](const Bytes &q, int) { return std::vector<Reply>{{replyTo(q)}}; });
    struct Case {
        std::vector<std::string> args;
        int flagsByte, qtype;
    };
    const Case cases[] = {
        {{"-t", "aaaa", "host.test"}, 0x01, 28},
        {{"-t", "Txt", "host.test"}, 0x01, 16},
        {{"-t", "MYIP", "-t", "NS", "host.test"}, 0x51, 2},
        {{"-x", "-t", "any", "host.test"}, 0x01, 255},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"-n", "127.0.0.1"});
        ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 0) << run.err;
        Bytes q = server.received().back().data;
        EXPECT_EQ(q[2], c.flagsByte);
        EXPECT_EQ(q[q.size() - 3], c.qtype);
    }
    EXPECT_NE(runTool({"-x", "-n", "127.0.0.1", "host.test"}).err.find("invalid option"),
              std::string::npos);

    ToolRun bound = runTool({"-b", "40053", "-n", "127.0.0.1", "host.test"});
    EXPECT_EQ(bound.status, 0);
    EXPECT_EQ(server.received().back().port, 40053);
}

TEST_F(Tool, ListsRepliesAndEndsWithTheReplyCode)
{
    const Bytes token = hex("20") + Bytes(32, 'F');
    const Bytes longOwner = labels("a-fairly-long-owner-name-here.example");
    struct Case {
        const char *what;
        std::function<Bytes(const Bytes &)> reply;
        std::string out;
        int status;
    };
    const Case cases[] = {
        {"reply code 9", [](const Bytes &q) { return replyTo(q, 9); }, "; flags: 8189\nErro 9 \n", 9},
        {"reply code 6", [](const Bytes &q) { return replyTo(q, 6); }, "; flags: 8186\n", 0},
        {"reply code 2", [](const Bytes &q) { return replyTo(q, 2); },
         "; flags: 8182\nFalha no servidor\n", 2},
        {"reply code 4", [](const Bytes &q) { return replyTo(q, 4); },
         "; flags: 8184\nTipo n\xE3o suportado pelo servidor\n", 4},
        {"unsupported type stops the listing",
         [](const Bytes &q) {
             return withRecords(q, rr(1, hex("0A000001")) + rr(33, hex("00")) + rr(1, hex("0A000002")), 3);
         },
         "; flags: 8180\n;\n; ANSWERS\n;\nhost.test                     A     10.0.0.1\n", 0},
        {"types 13, 201 and 203 print no line",
         [&](const Bytes &q) {
             return withRecords(q, rr(13, hex("00")) + rr(201, hex("0A000001") + token) +
                                       rr(203, Bytes(16, 0) + token), 3);
         },
         "; flags: 8180\n;\n; ANSWERS\n;\n", 0},
        {"only the non-empty sections get a heading",
         [&](const Bytes &q) {
             return withRecords(q, rr(16, hex("0A 1B") + text("[31mred") + hex("00 78"), longOwner) +
                                       rr(28, hex("20010DB8000000000000000000000001")), 0, 0, 2);
         },
         "; flags: 8180\n;\n; ADITIONAL RECORDS\n;\n"
         "a-fairly-long-owner-name-here.exampleTXT   \"\\027[31mred\"\n"
         "host.test                     AAAA  2001:db8::1\n", 0},
        {"SOA serial above 2^31, NS without target, name error",
         [](const Bytes &q) {
             return withRecords(q, rr(6, hex("00 00 FFFFFFFE 00000000 00000000 00000000 80000000")) +
                                       rr(2, hex("C0")), 0, 2, 0, 3);
         },
         "; flags: 8183\n;\n; AUTHORITATIVE SERVERS\n;\n"
         "host.test                     SOA   *  4294967294 * * * 2147483648\n"
         "host.test                     NS    \nNome n\xE3o Encontrado\n", 3},
    };
    for (const Case &c : cases) {
        FakeServer server("127.0.0.1", [&](const Bytes &q, int) { return std::vector<Reply>{{c.reply(q)}}; });
        ToolRun run = runTool({"-n", "127.0.0.1", "host.test"});
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.status, c.status) << c.what;
    }
}

TEST_F(Tool, ReportsWhenNoReplyCame)
{
    ToolRun run = runTool({"-n", "127.0.0.9", "host.test"});
    EXPECT_EQ(run.out, "N\xE3o foi possivel obter uma resposta do servidor\n");
    EXPECT_EQ(run.status, 255);
}

} // namespace
