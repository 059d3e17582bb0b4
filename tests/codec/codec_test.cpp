// Runs the rows of cases.txt: datagrams decoded into a printed message,
// messages encoded into bytes, MD5 digests and update tokens.
#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <map>
#include <sstream>
#include <string>

#include "DnsMessage.h"
#include "ddns_utils.h"
#include "ipv6_pick.h"
#include "journal_text.h"
#include "nat_gateway.h"
#include "md5.h"
#include "query_id.h"
#include "wire.h"

namespace {

struct Row {
    std::string kind, what;
    std::vector<std::string> fields;
};

std::string trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// "kind what | field | field ..."
std::vector<Row> loadRows()
{
    std::vector<Row> rows;
    for (const std::string &line : tableLines(CODEC_CASES)) {
        std::istringstream parts(line);
        Row row;
        for (std::string f; std::getline(parts, f, '|');)
            row.fields.push_back(trim(f));
        row.kind = line.substr(0, line.find(' '));
        row.what = row.fields[0].substr(row.kind.size() + 1);
        row.fields.erase(row.fields.begin());
        rows.push_back(row);
    }
    return rows;
}

std::string shown(const char *text)
{
    if (!text)
        return "-";
    std::string out = "\"";
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; ++c) {
        char esc[8];
        snprintf(esc, sizeof esc, *c < 0x20 || *c > 0x7E ? "\\x%02X" : "%c", *c);
        out += esc;
    }
    return out + "\"";
}

std::string data(const DnsRR *rr)
{
    char text[64];
    if (rr->type == DNS_TYPE_A || rr->type == DNS_TYPE_SETA)
        inet_ntop(AF_INET, &rr->ip_pref, text, sizeof text);
    else if (rr->type == DNS_TYPE_AAAA || rr->type == DNS_TYPE_SETAAAA)
        inet_ntop(AF_INET6, rr->ipv6, text, sizeof text);
    else
        snprintf(text, sizeof text, "%u", rr->ip_pref);
    return text;
}

// The whole message as one line: result, header, then every list.
std::string dump(const DnsMessage &m, bool ok)
{
    char head[48];
    snprintf(head, sizeof head, "%s id=%04x flags=%04x", ok ? "ok" : "fail", m.id, m.flags);
    std::string out = head;
    for (const DnsRR *q = m.questions; q; q = q->next)
        out += " | Q " + shown(q->owner) + " " + std::to_string(q->type);
    const std::pair<const char *, const DnsRR *> lists[] = {
        {"AN", m.answers}, {"NS", m.author}, {"AR", m.aditional}};
    for (const auto &l : lists) {
        for (const DnsRR *r = l.second; r; r = r->next)
            out += std::string(" | ") + l.first + " " + shown(r->owner) + " " +
                   std::to_string(r->type) + " " + std::to_string(r->ttl) + " " + data(r) + " " +
                   shown(r->resource);
    }
    return out;
}

// "id=1234 op=10 ; q type=1 owner=a.b ; an type=15 owner=a.b ttl=60 ip=10 res=m.a.b"
void build(DnsMessage &m, const std::string &description)
{
    m.id = 0x1234;
    std::istringstream parts(description);
    for (std::string part; std::getline(parts, part, ';');) {
        std::istringstream words(part);
        std::string section, w;
        words >> section;
        std::map<std::string, std::string> kv;
        while (words >> w)
            kv[w.substr(0, w.find('='))] = unescape(w.substr(w.find('=') + 1));
        if (section == "msg") {
            if (kv.count("op"))
                m.setOpcode(std::stoi(kv["op"]));
            continue;
        }
        const uint32_t type = static_cast<uint32_t>(std::stoul(kv["type"]));
        if (section == "q") {
            m.addQuestion(static_cast<int>(type), kv["owner"].c_str());
            continue;
        }
        DnsRR *rr = new DnsRR;
        rr->type = type;
        rr->ttl = kv.count("ttl") ? static_cast<uint32_t>(std::stoul(kv["ttl"])) : 0;
        rr->setOwner(kv["owner"].c_str());
        if (kv.count("res"))
            rr->setResource(kv["res"].c_str());
        const std::string ip = kv["ip"];
        if (kv.count("ip6"))
            inet_pton(AF_INET6, kv["ip6"].c_str(), rr->ipv6);
        else if (!ip.empty())
            rr->ip_pref = ip.find('.') != std::string::npos ? inet_addr(ip.c_str())
                                                            : static_cast<uint32_t>(std::stoul(ip, nullptr, 0));
        (m.*(section == "an"   ? &DnsMessage::addAnswer
             : section == "ns" ? &DnsMessage::addAuthor
                               : &DnsMessage::addAditional))(rr);
    }
}

std::string md5Hex(const std::string &message, size_t piece)
{
    MD5_CTX ctx;
    MD5Init(&ctx);
    unsigned char *bytes = reinterpret_cast<unsigned char *>(const_cast<char *>(message.data()));
    for (size_t at = 0; at < message.size(); at += piece) {
        MD5Update(&ctx, bytes + at, 0);
        MD5Update(&ctx, bytes + at, static_cast<unsigned int>(std::min(piece, message.size() - at)));
    }
    unsigned char digest[16];
    MD5Final(digest, &ctx);
    return hexOf(Bytes(digest, digest + 16));
}

TEST(Md5, CarriesTheBitCountIntoItsHighWord)
{
    MD5_CTX ctx;
    MD5Init(&ctx);
    ctx.i[0] = 0xFFFFFFF8u;  // as after 512 MiB
    unsigned char byte = 0;
    MD5Update(&ctx, &byte, 1);
    EXPECT_EQ(ctx.i[1] * 0x100000000ull + ctx.i[0], 0x100000000ull);
}

// The journal's stream (here a datagram socket, non-blocking, with the
// smallest send buffer) refuses one write, too long for it: that text is
// lost and the stream says so, nothing is read from past it, and the next
// text arrives whole and alone, in UTF-8.
TEST(JournalStream, AFailedWriteLosesOnlyItsOwnText)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    const int smallest = 1;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
    struct stat st;
    ASSERT_EQ(fstat(fds[1], &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    FILE *journal = nullptr;
    utf8WhenJournal(&journal, fds[1]);
    unsetenv("JOURNAL_STREAM");
    ASSERT_NE(journal, nullptr);
    setvbuf(journal, nullptr, _IONBF, 0);  // as standard error is

    const std::vector<char> tooLong(64 * 1024, 'y');  // its own allocation: a read past it is seen
    EXPECT_EQ(fwrite(tooLong.data(), 1, tooLong.size(), journal), 0u);
    EXPECT_TRUE(ferror(journal));
    clearerr(journal);
    EXPECT_NE(fputs("a\xE7\xE3o\n", journal), EOF);
    char got[64] = {};
    const ssize_t n = recv(fds[0], got, sizeof got, MSG_DONTWAIT);
    EXPECT_EQ(std::string(got, static_cast<size_t>(std::max<ssize_t>(n, 0))), "a\xC3\xA7\xC3\xA3o\n");
    fclose(journal);
    close(fds[0]);
}

int openDescriptors()
{
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir && readdir(dir))
        ++n;
    if (dir)
        closedir(dir);
    return n;
}

// Each probe closes its own socket, found or not (nothing is sent: a
// datagram socket's connect only consults the routing table).
TEST(RouteProbe, LeavesNoDescriptorOpen)
{
    const int before = openDescriptors();
    testing::internal::CaptureStdout();
    for (int k = 0; k < 50; ++k) {
        uint32_t local = 0;
        EXPECT_TRUE(localAddressTowards(inet_addr("127.0.0.1"), &local));
        EXPECT_EQ(local, inet_addr("127.0.0.1"));
        EXPECT_TRUE(getBestInterfaceAddress(inet_addr("127.0.0.1"), &local));
    }
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(printed.substr(0, printed.find("Sock port")), "rc=0\nrc=0\nSock IP address: 127.0.0.1\n");
}

// The run's sockets, one per family, each bound to the same local port,
// are closed with it (nothing is sent).
TEST(QuerySockets, OnePerFamilyOnTheSamePortClosedAtTheEnd)
{
    const int before = openDescriptors();
    {
        QuerySockets sockets(0);
        const int v4 = sockets.socketFor(AF_INET);
        ASSERT_GE(v4, 0);
        EXPECT_EQ(sockets.socketFor(AF_INET), v4) << "opened once";
        sockaddr_in local{};
        socklen_t len = sizeof local;
        getsockname(v4, reinterpret_cast<sockaddr *>(&local), &len);
        QuerySockets samePort(ntohs(local.sin_port));
        const int v6 = samePort.socketFor(AF_INET6);
        if (v6 < 0)
            GTEST_SKIP() << "no IPv6 here";
        EXPECT_EQ(samePort.socketFor(AF_INET), -1) << "the IPv4 port is taken";
        EXPECT_EQ(getUdpSocket(true, 0, ntohs(local.sin_port)), -1) << "the IPv4 port is taken";
        EXPECT_EQ(samePort.socketFor(AF_UNIX), -1);
        EXPECT_GE(openDescriptors(), before + 2);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// Without the kernel's random source: identifiers still spread over the
// range, and never one twice in a row.
TEST(QueryId, FallbackSpreadsAndNeverRepeatsAtOnce)
{
    std::map<uint16_t, int> seen;
    uint16_t last = fallbackQueryId();
    for (int i = 0; i < 1000; ++i) {
        const uint16_t id = fallbackQueryId();
        EXPECT_NE(id, last);
        last = id;
        ++seen[id];
    }
    for (const auto &s : seen)
        EXPECT_LE(s.second, 5) << s.first;
}

// Two processes with the same pid (each the first of a pid namespace of its
// own), the same stack addresses (no address randomisation) and the same
// counter still draw different fallback identifiers: the clocks tell them
// apart.
TEST(QueryId, FallbackOfTwoProcessesSharingAPidDiffers)
{
    const std::string run = std::string(getuid() == 0 ? "unshare" : "unshare --user --map-root-user") +
                            " --pid --fork setarch \"$(uname -m)\" -R " + QUERY_ID_PROBE + " 2>/dev/null";
    std::vector<std::string> drawn;
    for (int k = 0; k < 2; ++k) {
        FILE *probe = popen(run.c_str(), "r");
        ASSERT_NE(probe, nullptr);
        char line[64] = {};
        const bool read = fgets(line, sizeof line, probe) != nullptr;
        const int status = pclose(probe);
        if (!read || status != 0)
            GTEST_SKIP() << "no pid namespace without address randomisation here: " << run;
        drawn.push_back(line);
    }
    std::istringstream first(drawn[0]), second(drawn[1]);
    std::string pid[2], stack[2], id[2];
    first >> pid[0] >> stack[0] >> id[0];
    second >> pid[1] >> stack[1] >> id[1];
    EXPECT_TRUE(pid[0] == "1" && pid[1] == "1") << "not the first of its pid namespace";
    EXPECT_EQ(stack[0], stack[1]) << "the stacks differ: the test proves nothing";
    EXPECT_NE(id[0], id[1]) << "the same identifier twice";
}

// "2001:db8::1 temporary, fd00::1" -> candidates as the kernel lists them:
// global scope and usable unless a word says otherwise.
std::vector<Ipv6Candidate> candidatesOf(const std::string &text)
{
    const std::map<std::string, uint32_t> flags = {
        {"temporary", IFA_F_TEMPORARY}, {"deprecated", IFA_F_DEPRECATED}, {"tentative", IFA_F_TENTATIVE},
        {"optimistic", IFA_F_OPTIMISTIC}, {"dadfailed", IFA_F_DADFAILED}, {"mngtmpaddr", IFA_F_MANAGETEMPADDR}};
    std::vector<Ipv6Candidate> all;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        std::istringstream words(item);
        std::string word;
        Ipv6Candidate c{};
        words >> word;
        inet_pton(AF_INET6, word.c_str(), c.address);
        while (words >> word) {
            if (word == "link" || word == "host")
                c.scope = word == "link" ? RT_SCOPE_LINK : RT_SCOPE_HOST;
            else
                c.flags |= flags.at(word);
        }
        all.push_back(c);
    }
    return all;
}

class Codec : public ::testing::TestWithParam<Row> {};

TEST_P(Codec, Row)
{
    const Row &r = GetParam();
    const std::vector<std::string> &f = r.fields;
    if (r.kind == "decode" || r.kind == "decode-ignoring") {
        const Bytes wire = parseBytes(f.at(0));
        DnsMessage msg;
        msg.id = 0x7777;  // shows when the header was not read
        const bool ok = msg.decode(wire.data(), static_cast<int>(wire.size()), r.kind != "decode");
        std::string expected = f.at(1);  // the dump's own " | " split it
        for (size_t i = 2; i < f.size(); ++i)
            expected += " | " + f[i];
        EXPECT_EQ(dump(msg, ok), unescape(expected, false));
    } else if (r.kind == "encode") {
        DnsMessage msg;
        build(msg, f.at(0));
        std::vector<char> area(DNS_ENCODE_AREA);  // ASan sees any byte written past it
        const int n = msg.encode(area.data());
        const Bytes got = n < 0 ? Bytes() : Bytes(area.begin(), area.begin() + n);
        if (f.at(1) == "-1")
            EXPECT_EQ(n, -1);
        else
            EXPECT_TRUE(matches(parsePattern(f.at(1)), got)) << n << " bytes: " << hexOf(got);
    } else if (r.kind == "md5") {
        for (size_t piece : {1000u, 1u, 7u, 64u})
            EXPECT_EQ(md5Hex(unescape(f.at(0)), piece), hexOf(parseBytes(f.at(1)))) << piece;
    } else if (r.kind == "token") {
        char hash[40], wrong[] = "0123456789ABCDEF0123456789ABCDEF";
        memset(hash, '#', sizeof hash);
        unsigned char v6[16];
        const char *pass = f.at(0).c_str();
        const uint32_t v4 = inet_addr(f.at(1).c_str());
        const bool isV6 = inet_pton(AF_INET6, f.at(1).c_str(), v6) == 1;
        isV6 ? makeHashv6(hash, pass, v6) : makeHash(hash, pass, v4);
        EXPECT_STREQ(hash, f.at(2).c_str());
        EXPECT_EQ(hash[33], '#') << "nothing written past the terminator";
        EXPECT_TRUE(isV6 ? matchHashv6(hash, pass, v6) : matchHash(hash, pass, v4));
        EXPECT_FALSE(isV6 ? matchHashv6(wrong, pass, v6) : matchHash(wrong, pass, v4));
    } else if (r.kind == "ipv6-pick") {
        const std::vector<Ipv6Candidate> all = candidatesOf(f.at(0));
        unsigned char kernel[16];
        const bool kernelPicked = inet_pton(AF_INET6, f.at(1).c_str(), kernel) == 1;
        const int k = chooseStableIpv6(all, kernelPicked ? kernel : nullptr);
        char text[INET6_ADDRSTRLEN] = "none";
        if (k >= 0)
            inet_ntop(AF_INET6, all[static_cast<size_t>(k)].address, text, sizeof text);
        EXPECT_EQ(std::string(text), f.at(2));
    } else if (r.kind == "server-address") {
        // How -n (a bad scope refused) and resolv.conf (a bad scope dropped) read it.
        for (ScopeErrors scope : {ScopeErrors::Refuse, ScopeErrors::Ignore}) {
            Endpoint e = Endpoint::ipv4(inet_addr("192.0.2.99"));  // what an earlier line left
            const std::string read = parseServerAddress(unescape(f.at(0)).c_str(), scope, &e)
                                         ? std::to_string(e.family() == AF_INET6 ? 6 : 4) + " " + e.text() + " " +
                                               std::to_string(e.port())
                                         : "invalid " + e.text();
            EXPECT_EQ(read, f.at(scope == ScopeErrors::Refuse ? 1 : 2)) << f.at(0);
        }
    } else if (r.kind == "public") {
        std::istringstream addresses(f.at(0));
        for (std::string a; addresses >> a;)
            EXPECT_EQ(isPublicIpv4(inet_addr(a.c_str())) ? "public" : "not-public", f.at(1)) << a;
    } else if (r.kind == "gateway") {
        const Bytes d = parseBytes(f.at(0));
        uint32_t external = 0;
        const GatewayAnswer answer = readExternalAddressReply(d.data(), d.size(), &external);
        const char *const NAMES[] = {"public", "not-public", "refused", "no-answer", "malformed"};
        std::string read = NAMES[static_cast<int>(answer)];
        if (answer == GatewayAnswer::Public || answer == GatewayAnswer::NotPublic) {
            in_addr shown;
            shown.s_addr = external;
            read += std::string(" ") + inet_ntoa(shown);
        }
        EXPECT_EQ(read, f.at(1));
        EXPECT_EQ(isAnnouncement(d.data(), d.size()) ? "announcement" : "ignored", f.at(2));
    } else if (r.kind == "route") {
        const Bytes d = parseBytes(f.at(0));
        alignas(nlmsghdr) char buf[512];
        ASSERT_LE(d.size(), sizeof buf);
        memcpy(buf, d.data(), d.size());
        uint32_t gateway = 0xFFFFFFFF;  // what a previous route left
        int ifindex = -1;
        std::string read = "none";
        if (readRoute(buf, d.size(), &gateway, &ifindex)) {
            in_addr shown;
            shown.s_addr = gateway;
            read = (gateway == 0 ? std::string("on-link") : std::string("via ") + inet_ntoa(shown)) + " dev " +
                   std::to_string(ifindex);
        }
        EXPECT_EQ(read, f.at(1));
    } else {
        FAIL() << "unknown row kind " << r.kind;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Codec, ::testing::ValuesIn(loadRows()),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             std::string name = std::to_string(info.index) + "_";
                             for (char c : info.param.what)
                                 name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

} // namespace
