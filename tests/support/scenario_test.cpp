// Runs the scenario tables: scripted name servers on loopback, one exchange
// (in this process) or one run of the vintrel binary, then checks of what it
// printed, returned and sent. The tables' header explains the directives.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "ddns_utils.h"
#include "fake_server.h"
#include "netns.h"
#include "run_tool.h"
#include "vintrel.h"

namespace {

struct Line {
    std::string verb, rest;
};

struct Scenario {
    std::string table, name;
    std::vector<Line> lines;
};

std::vector<Scenario> load(const std::string &table)
{
    std::vector<Scenario> all;
    for (const std::string &text : tableLines(std::string(SCENARIO_DIR) + "/" + table)) {
        const size_t gap = text.find(' ');
        const Line line{text.substr(0, gap), gap == std::string::npos ? "" : text.substr(gap + 1)};
        if (line.verb == "==")
            all.push_back({table, line.rest.substr(0, line.rest.find(' ')), {}});
        else if (!all.empty())
            all.back().lines.push_back(line);
    }
    return all;
}

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
}

// Glob match where "{*}" stands for any text.
bool globMatch(const std::string &pattern, const std::string &text)
{
    const size_t star = pattern.find("{*}");
    if (star == std::string::npos)
        return pattern == text;
    if (text.compare(0, star, pattern, 0, star) != 0)
        return false;
    const std::string rest = pattern.substr(star + 3);
    for (size_t at = star; at <= text.size(); ++at) {
        if (globMatch(rest, text.substr(at)))
            return true;
    }
    return false;
}

// Open files other than sockets (the fake servers open and close theirs
// at any time).
int openFiles()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    char target[64];
    while (dirent *e = dir ? readdir(dir) : nullptr) {
        const std::string path = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        count += n > 0 && std::string(target, static_cast<size_t>(n)).rfind("socket:", 0) != 0;
    }
    closedir(dir);
    return count;
}

// "127.0.0.1#2" -> the server's datagram number 2.
const Datagram *datagramOf(std::map<std::string, std::unique_ptr<FakeServer>> &servers,
                           const std::string &ref, std::vector<Datagram> &keep)
{
    const size_t hash = ref.find('#');
    keep = servers.at(ref.substr(0, hash))->received();
    const size_t n = std::stoul(ref.substr(hash + 1));
    return n < keep.size() ? &keep[n] : nullptr;
}

class Scenarios : public IsolatedNetwork, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Scenarios, Run)
{
    std::map<std::string, std::unique_ptr<FakeServer>> servers;
    std::map<std::string, std::vector<Rule>> rules;
    std::vector<std::string> env;
    std::string resolv, question = "host.example", out, err;
    bool checkOut = false, checkErr = false;
    const bool timed = getenv("VINTREL_WRAPPER") == nullptr;  // valgrind is slow
    current_dns = 0;
    for (const Line &l : GetParam().lines) {
        const std::vector<std::string> w = words(l.rest);
        if (l.verb == "server") {
            rules[w.at(0)];
            if (w.size() < 2)
                continue;
            Rule r;
            r.key = w[1];
            size_t at = 2;
            if (at < w.size() && w[at][0] == '@') {
                r.delay = std::stod(w[at].substr(1));
                const size_t x = w[at].find('x');
                r.repeat = x == std::string::npos ? 1 : std::stoi(w[at].substr(x + 1));
                ++at;
            }
            if (at < w.size() && w[at] == "from") {
                r.from = w[at + 1];
                at += 2;
            }
            for (; at < w.size(); ++at)
                r.reply += w[at] + " ";
            rules[w[0]].push_back(r);
        } else if (l.verb == "resolv") {
            resolv += unescape(l.rest);
        } else if (l.verb == "resolv-kind") {
            coverResolvConf(l.rest);
        } else if (l.verb == "env") {
            env.push_back(unescape(l.rest));
        } else if (l.verb == "question") {
            question = unescape(l.rest);
        } else if (l.verb == "remember") {
            current_dns = inet_addr(l.rest.c_str());
        } else if (l.verb == "out") {
            out += unescape(l.rest) + "\n";
            checkOut = true;
        } else if (l.verb == "out-empty") {
            checkOut = true;
        } else if (l.verb == "err") {
            err += unescape(l.rest) + "\n";
            checkErr = true;
        }
    }
    writeResolvConf(resolv);
    for (auto &r : rules)
        servers[r.first].reset(new FakeServer(r.first, r.second));

    // The run: the binary, or one exchange with a question for `question`.
    ToolRun run{"", "", -1};
    bool result = false;
    const double start = now();
    const time_t clockAtStart = time(nullptr);
    for (const Line &l : GetParam().lines) {
        if (l.verb == "run") {
            std::vector<std::string> args;
            for (const std::string &a : words(l.rest))
                args.push_back(a == "''" ? "" : unescape(a));
            run = runTool(args, env);
        } else if (l.verb == "exchange") {
            const int files = openFiles();
            const int s = l.rest == "bad-socket" ? -1 : getUdpSocket(true, 0, 0);
            DnsMessage msg;
            msg.id = 0x4242;
            msg.addQuestion(DNS_TYPE_A, question.c_str());
            ddnsError = 0;
            result = dns_query_s(s, msg, l.rest == "bad-socket" ? inet_addr("127.0.0.1")
                                                               : inet_addr(l.rest.c_str()));
            if (result) {
                testing::internal::CaptureStdout();
                printReply(msg);
                run.out = testing::internal::GetCapturedStdout();
            }
            if (s >= 0)
                close(s);
            EXPECT_EQ(openFiles(), files) << "the exchange left a file open";
        }
    }
    const double took = now() - start;
    const time_t clockAtEnd = time(nullptr);
    usleep(50000);  // what the run sent last reaches its server's log

    EXPECT_TRUE(!checkOut || globMatch(out, run.out)) << "printed:\n" << run.out << "expected:\n" << out;
    EXPECT_TRUE(!checkErr || globMatch(err, run.err)) << "printed:\n" << run.err << "expected:\n" << err;
    for (const Line &l : GetParam().lines) {
        const std::vector<std::string> w = words(l.rest);
        std::vector<Datagram> keep;
        if (l.verb == "status") {
            EXPECT_EQ(run.status, std::stoi(l.rest)) << run.out << run.err;
        } else if (l.verb == "result") {
            EXPECT_EQ(result, l.rest == "true");
        } else if (l.verb == "code") {
            EXPECT_EQ(ddnsError, std::stoi(l.rest));
        } else if (l.verb == "remembered") {
            EXPECT_EQ(current_dns, inet_addr(l.rest.c_str()));
        } else if (l.verb == "took" && timed) {
            EXPECT_GE(took, std::stod(w.at(0)));
            EXPECT_LE(took, std::stod(w.at(1)));
        } else if (l.verb == "sent" && w.at(0).find('#') == std::string::npos) {
            EXPECT_EQ(servers.at(w[0])->received().size(), std::stoul(w.at(1))) << l.rest;
        } else if (l.verb == "sent" || l.verb == "at" || l.verb == "clock-id") {
            const Datagram *d = datagramOf(servers, w.at(0), keep);
            ASSERT_NE(d, nullptr) << "nothing received: " << l.rest;
            if (l.verb == "sent") {
                EXPECT_TRUE(matches(parsePattern(l.rest.substr(w[0].size())), d->data))
                    << l.rest << "\ngot " << hexOf(d->data);
            } else if (l.verb == "at" && timed) {
                EXPECT_NEAR(d->at - start, std::stod(w.at(1)), 0.4) << l.rest;
            } else if (l.verb == "clock-id") {
                const uint16_t id = static_cast<uint16_t>(d->data[0] << 8 | d->data[1]);
                EXPECT_LE(static_cast<uint16_t>(id - clockAtStart), clockAtEnd - clockAtStart);
            }
        } else if (l.verb == "ids-differ") {
            std::vector<Datagram> other;
            const Datagram *a = datagramOf(servers, w.at(0), keep);
            const Datagram *b = datagramOf(servers, w.at(1), other);
            ASSERT_TRUE(a && b) << l.rest;
            EXPECT_NE(Bytes(a->data.begin(), a->data.begin() + 2), Bytes(b->data.begin(), b->data.begin() + 2));
        } else if (l.verb == "port") {
            EXPECT_EQ(servers.at(w.at(0))->received().at(0).port, std::stoi(w.at(1)));
        }
    }
}

std::string rowName(const ::testing::TestParamInfo<Scenario> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Exchange, Scenarios, ::testing::ValuesIn(load("transport/exchange.txt")),
                         rowName);
INSTANTIATE_TEST_SUITE_P(Tool, Scenarios, ::testing::ValuesIn(load("tool/queries.txt")), rowName);
INSTANTIATE_TEST_SUITE_P(Update, Scenarios, ::testing::ValuesIn(load("tool/updates.txt")), rowName);

// The run is not dumpable: another process of the same user cannot read
// the password from its /proc files while it runs.
TEST_F(IsolatedNetwork, RunKeepsItsProcFilesFromOtherProcessesOfItsUser)
{
    if (getuid() != 0 || slurp("/proc/self/uid_map").find("4294967295") == std::string::npos)
        GTEST_SKIP() << "needs real root, to run the tool and a reader as another user";
    FakeServer silent("127.0.0.1", {});
    const uid_t user = 65534;
    const pid_t tool = fork();
    if (tool == 0 && setgid(user) == 0 && setuid(user) == 0)
        execl(VINTREL_BINARY, "vintrel", "-n", "127.0.0.1", "host.example", nullptr);
    if (tool == 0)
        _exit(127);
    for (int i = 0; i < 300 && silent.received().empty(); ++i)
        usleep(10000);  // it has sent: it is past its start
    const std::string environ = "/proc/" + std::to_string(tool) + "/environ";
    const pid_t reader = fork();
    if (reader == 0)
        _exit(setgid(user) == 0 && setuid(user) == 0 && open(environ.c_str(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1);
    int status = -1;
    waitpid(reader, &status, 0);
    kill(tool, SIGTERM);
    waitpid(tool, nullptr, 0);
    EXPECT_FALSE(silent.received().empty()) << "the run did not start";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "its environment was readable";
}

} // namespace
