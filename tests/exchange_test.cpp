#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "ddns_utils.h"
#include "fake_server.h"
#include "netns.h"

namespace {

class Exchange : public IsolatedNetwork {
protected:
    int s = -1;
    DnsMessage msg;

    void SetUp() override
    {
        IsolatedNetwork::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        current_dns = 0;
        ddnsError = 0;
        s = getUdpSocket(true, 0, 0);
        ASSERT_GE(s, 0);
        msg.id = 0x4242;
        msg.addQuestion(DNS_TYPE_A, "host.example");
    }

    void TearDown() override
    {
        if (s >= 0)
            close(s);
        IsolatedNetwork::TearDown();
    }
};

uint32_t addr(const char *text) { return inet_addr(text); }

TEST_F(Exchange, SilentNamedServerGetsTenIdenticalPasses)
{
    FakeServer named("127.0.0.1");
    FakeServer configured("127.0.0.2");
    writeResolvConf("nameserver 127.0.0.2\n");
    const double start = now();
    EXPECT_FALSE(dns_query_s(s, msg, addr("127.0.0.1")));
    const double took = now() - start;
    EXPECT_EQ(ddnsError, 2);
    EXPECT_NEAR(took, 20.0, 1.0);
    auto got = named.received();
    ASSERT_EQ(got.size(), 10u);
    for (size_t i = 1; i < got.size(); ++i) {
        EXPECT_EQ(got[i].data, got[0].data);
        EXPECT_NEAR(got[i].at - got[i - 1].at, 2.0, 0.3);
    }
    EXPECT_TRUE(configured.received().empty());
    EXPECT_EQ(current_dns, 0u);
}

TEST_F(Exchange, ConfiguredServerIsRememberedAsTheReplySender)
{
    // The configured server answers from another address; that address is
    // then remembered and asked directly.
    FakeServer configured("127.0.0.3", [](const Bytes &q, int) {
        return std::vector<Reply>{{answerA(q, "192.0.2.33"), 0, "127.0.0.4"}};
    });
    FakeServer other("127.0.0.4", [](const Bytes &q, int) {
        return std::vector<Reply>{{answerA(q, "192.0.2.44")}};
    });
    writeResolvConf("nameserver 127.0.0.3\n");
    ASSERT_TRUE(dns_query_s(s, msg, 0));
    EXPECT_EQ(ddnsError, 0);
    EXPECT_EQ(current_dns, addr("127.0.0.4"));
    EXPECT_EQ(msg.answers->ip_pref, addr("192.0.2.33"));
    EXPECT_EQ(configured.received().size(), 1u);

    writeResolvConf("");
    DnsMessage second;
    second.addQuestion(DNS_TYPE_A, "other.example");
    ASSERT_TRUE(dns_query_s(s, second, 0));
    EXPECT_EQ(second.answers->ip_pref, addr("192.0.2.44"));
    EXPECT_EQ(configured.received().size(), 1u);
}

TEST_F(Exchange, SilentRememberedServerGivesWayAfterThreePasses)
{
    FakeServer remembered("127.0.0.5");
    FakeServer configured("127.0.0.6");
    writeResolvConf("nameserver 127.0.0.6\n");
    current_dns = addr("127.0.0.5");
    EXPECT_FALSE(dns_query_s(s, msg, 0));
    EXPECT_EQ(ddnsError, 2);
    EXPECT_EQ(remembered.received().size(), 3u);
    auto got = configured.received();
    ASSERT_EQ(got.size(), 7u);
    EXPECT_NEAR(got[0].at - remembered.received()[2].at, 2.0, 0.3);
    EXPECT_EQ(current_dns, addr("127.0.0.5")) << "kept until another success";
}

TEST_F(Exchange, SilentRememberedServerWithoutConfigurationEndsWithCodeOne)
{
    FakeServer remembered("127.0.0.5");
    writeResolvConf("# nothing\n");
    current_dns = addr("127.0.0.5");
    const double start = now();
    EXPECT_FALSE(dns_query_s(s, msg, 0));
    EXPECT_EQ(ddnsError, 1);
    EXPECT_NEAR(now() - start, 6.0, 0.6);
}

TEST_F(Exchange, NoServerAnywhereSendsNothing)
{
    FakeServer listening("127.0.0.1");
    writeResolvConf("# nameserver 127.0.0.1\nnameserver\n");
    EXPECT_FALSE(dns_query_s(s, msg, 0));
    EXPECT_EQ(ddnsError, 1);
    usleep(100000);
    EXPECT_TRUE(listening.received().empty());
}

TEST_F(Exchange, ForeignIdentifierRestartsTheWait)
{
    FakeServer server("127.0.0.1", [](const Bytes &q, int index) {
        Bytes foreign = answerA(q, "192.0.2.1");
        foreign[0] ^= 0xFF;
        if (index == 0)
            return std::vector<Reply>{{foreign, 1.0}};
        return std::vector<Reply>{{answerA(q, "192.0.2.2")}};
    });
    EXPECT_TRUE(dns_query_s(s, msg, addr("127.0.0.1")));
    EXPECT_EQ(ddnsError, 0);
    ASSERT_NE(msg.answers, nullptr);
    EXPECT_EQ(msg.answers->ip_pref, addr("192.0.2.2"));
    auto got = server.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NEAR(got[1].at - got[0].at, 3.0, 0.3) << "2 s from the foreign datagram";
    EXPECT_EQ(got[1].data, got[0].data) << "every pass sends the same bytes";
}

TEST_F(Exchange, TooShortAndTooLongDatagramsNeverMatch)
{
    FakeServer server("127.0.0.1", [](const Bytes &q, int index) {
        if (index > 0)
            return std::vector<Reply>{{answerA(q, "192.0.2.9")}};
        Bytes five(q.begin(), q.begin() + 5);
        Bytes long520 = answerA(q, "192.0.2.8");
        long520.resize(520, 0);
        return std::vector<Reply>{{five}, {long520, 0.1}};
    });
    EXPECT_TRUE(dns_query_s(s, msg, addr("127.0.0.1")));
    ASSERT_NE(msg.answers, nullptr);
    EXPECT_EQ(msg.answers->ip_pref, addr("192.0.2.9"));
    EXPECT_EQ(server.received().size(), 2u);
}

TEST_F(Exchange, ReplyWithoutAnswersIsAcceptedWithCodeThree)
{
    FakeServer server("127.0.0.1", [](const Bytes &q, int) {
        Bytes soa = hex("C0 0C 00 06 00 01 00000E10 0016 00 00 00000001 00000002 00000003"
                        "00000004 00000005");
        Bytes reply = replyTo(q, 3) + soa;
        reply[9] = 1;  // one authority record
        return std::vector<Reply>{{reply}};
    });
    EXPECT_TRUE(dns_query_s(s, msg, addr("127.0.0.1")));
    EXPECT_EQ(ddnsError, 3);
    EXPECT_EQ(msg.getError(), 3);
    EXPECT_EQ(msg.countRR(msg.author), 1);
}

TEST_F(Exchange, FailedSendsEndWithCodeFive)
{
    const double start = now();
    EXPECT_FALSE(dns_query_s(-1, msg, addr("127.0.0.1")));
    EXPECT_EQ(ddnsError, 5);
    EXPECT_NEAR(now() - start, 18.0, 1.0);
}

TEST_F(Exchange, UnwritableMessageIsNeverSent)
{
    FakeServer server("127.0.0.1");
    DnsMessage bad;
    bad.addQuestion(DNS_TYPE_A, (std::string(64, 'x') + ".example").c_str());
    const double start = now();
    EXPECT_FALSE(dns_query_s(s, bad, addr("127.0.0.1")));
    EXPECT_EQ(ddnsError, 5);
    EXPECT_LT(now() - start, 1.0);
    usleep(100000);
    EXPECT_TRUE(server.received().empty());
}

} // namespace
