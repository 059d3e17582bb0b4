// Runs the scenario tables: scripted name servers on loopback, one exchange
// (in this process) or one run of the vintrel binary, then checks of what it
// printed, returned and sent. The tables' header explains the directives.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "ddns_utils.h"
#include "fake_server.h"
#include "nat_gateway.h"
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

// Descriptors open on what the exchange reads as its configuration (the
// file, the private copy behind it, or what covers it), as "fd target".
// Nothing else is looked at: server threads and the sanitizer's helpers
// open and close descriptors of their own at any time.
std::set<std::string> configurationFiles(const std::string &privateCopy)
{
    std::set<std::string> open;
    DIR *dir = opendir("/proc/self/fd");
    char target[256];
    while (dirent *e = dir ? readdir(dir) : nullptr) {
        const std::string path = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        const std::string file(target, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (file == "/etc/resolv.conf" || file == privateCopy || file == "/dev/zero")
            open.insert(std::string(e->d_name) + " " + file);
    }
    closedir(dir);
    return open;
}

// "127.0.0.1#2" -> the server's datagram number 2 ("#last": its last).
const Datagram *datagramOf(std::map<std::string, std::unique_ptr<Recorder>> &servers,
                           const std::string &ref, std::vector<Datagram> &keep)
{
    const size_t hash = ref.find('#');
    keep = servers.at(ref.substr(0, hash))->received();
    const std::string which = ref.substr(hash + 1);
    const size_t n = which == "last" ? keep.size() - 1 : std::stoul(which);
    return n < keep.size() ? &keep[n] : nullptr;
}

int signalNamed(const std::string &name)
{
    const std::map<std::string, int> known = {
        {"HUP", SIGHUP}, {"INT", SIGINT}, {"TERM", SIGTERM}, {"STOP", SIGSTOP}, {"CONT", SIGCONT}};
    return known.at(name);
}

// Children of pid that have ended but were never waited for.
int zombieChildren(pid_t pid)
{
    int zombies = 0;
    DIR *proc = opendir("/proc");
    while (dirent *e = proc ? readdir(proc) : nullptr) {
        if (!isdigit(static_cast<unsigned char>(e->d_name[0])))
            continue;
        // A process that ends between readdir and the read fails the read
        // (ESRCH): it is nobody's zombie then.
        std::string stat;
        try {
            stat = slurp(std::string("/proc/") + e->d_name + "/stat");
        } catch (const std::ios_base::failure &) {
            continue;
        }
        const size_t end = stat.rfind(')');
        if (end == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(end + 1));
        char state = 0;
        pid_t parent = 0;
        fields >> state >> parent;
        zombies += state == 'Z' && parent == pid;
    }
    if (proc)
        closedir(proc);
    return zombies;
}

// "start ARGS" and its "after SECONDS ACTION" lines: the tool runs in the
// background while the actions happen, each SECONDS after the one before
// it ended: "sh COMMAND" on this side, "signal NAME" to the tool, "await
// ADDR COUNT" until that server has had COUNT datagrams. Before the last
// one (a quiet moment in every row) no attempt may be left unreaped. The
// last action must make the tool end; *stopping is how long it took then.
ToolRun runInBackground(const std::vector<std::string> &args, const std::vector<std::string> &env,
                        bool stdinClosed, const std::vector<Line> &lines,
                        const std::map<std::string, std::unique_ptr<Recorder>> &servers, double *stopping)
{
    const ToolProcess tool = startTool(args, env, stdinClosed);
    // Whatever ends this function early (an exception, a fatal assertion),
    // no watcher may be left running.
    struct KillOnExit {
        pid_t pid;
        ~KillOnExit()
        {
            if (pid > 0 && kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
        }
    } guard{tool.pid};
    const auto last = std::find_if(lines.rbegin(), lines.rend(), [](const Line &l) { return l.verb == "after"; });
    for (const Line &l : lines) {
        if (l.verb != "after")
            continue;
        const std::vector<std::string> w = words(l.rest);
        usleep(static_cast<useconds_t>(std::stod(w.at(0)) * 1e6));
        if (&l == &*last) {
            // An attempt that has just ended may wait a moment for the
            // watcher (slow under valgrind) to reap it; one never reaped stays.
            const double until = now() + (getenv("VINTREL_WRAPPER") ? 10 : 2);
            while (zombieChildren(tool.pid) != 0 && now() < until)
                usleep(10000);
            EXPECT_EQ(zombieChildren(tool.pid), 0) << "attempts left unreaped";
        }
        const std::string action = l.rest.substr(l.rest.find(' ') + 1);
        if (w.at(1) == "signal") {
            kill(tool.pid, signalNamed(w.at(2)));
        } else if (w.at(1) == "await") {
            const Recorder &server = *servers.at(w.at(2));
            const double until = now() + 45;
            while (server.received().size() < std::stoul(w.at(3)) && now() < until)
                usleep(10000);
            EXPECT_GE(server.received().size(), std::stoul(w.at(3))) << action;
        } else {
            // {pid} in a command stands for the tool's process id.
            std::string command = action.substr(3);
            for (size_t at; (at = command.find("{pid}")) != std::string::npos;)
                command.replace(at, 5, std::to_string(tool.pid));
            EXPECT_TRUE(w.at(1) == "sh" && shell(command)) << command;
        }
    }
    const double lastAction = now();
    const double bound = getenv("VINTREL_WRAPPER") ? 60 : 10;
    siginfo_t info{};
    for (; now() < lastAction + bound; usleep(5000)) {
        if (waitid(P_PID, static_cast<id_t>(tool.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == tool.pid) {
            *stopping = now() - lastAction;
            guard.pid = -1;
            return finishTool(tool);
        }
    }
    kill(tool.pid, SIGKILL);
    guard.pid = -1;
    ADD_FAILURE() << "the tool did not end after the last action";
    return finishTool(tool);
}

// A service manager's notification socket: what the tool sends to it.
class NotifySocket {
public:
    NotifySocket()
    {
        char dir[] = "/tmp/vintrel-notify-XXXXXX";
        path = std::string(mkdtemp(dir)) + "/notify";
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        strncpy(at.sun_path, path.c_str(), sizeof at.sun_path - 1);
        if (bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0)
            throw std::runtime_error("cannot bind " + path);
    }
    ~NotifySocket()
    {
        close(fd);
        unlink(path.c_str());
        rmdir(path.substr(0, path.rfind('/')).c_str());
    }
    std::vector<std::string> messages() const
    {
        std::vector<std::string> all;
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0;)
            all.emplace_back(buf, static_cast<size_t>(n));
        return all;
    }
    std::string path;

private:
    int fd;
};

class Scenarios : public IsolatedNetwork, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Scenarios, Run)
{
    std::map<std::string, std::unique_ptr<Recorder>> servers;
    std::map<std::string, std::vector<Rule>> rules;
    std::map<std::string, std::string> streams;
    std::vector<std::string> env, setup, refusing;
    std::unique_ptr<PeerNetwork> peer;
    std::unique_ptr<NotifySocket> notify;
    std::string resolv, question = "host.example", out, err;
    bool checkOut = false, checkErr = false, stdinClosed = false;
    const bool timed = getenv("VINTREL_WRAPPER") == nullptr;  // valgrind is slow
    current_dns = Endpoint();
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
        } else if (l.verb == "refusing") {
            refusing.push_back(w.at(0));
        } else if (l.verb == "tcp") {
            streams[w.at(0)] = l.rest.substr(w[0].size() + 1);
        } else if (l.verb == "resolv") {
            resolv += unescape(l.rest);
        } else if (l.verb == "resolv-kind") {
            coverResolvConf(l.rest);
        } else if (l.verb == "env") {
            env.push_back(unescape(l.rest));
        } else if (l.verb == "stdin") {
            stdinClosed = l.rest == "closed";
        } else if (l.verb == "link") {
            peer.reset(new PeerNetwork(w.at(0), w.at(1)));
        } else if (l.verb == "sh") {
            setup.push_back(l.rest);
        } else if (l.verb == "notify") {
            notify.reset(new NotifySocket);
            env.push_back("NOTIFY_SOCKET=" + notify->path);
        } else if (l.verb == "question") {
            question = unescape(l.rest);
        } else if (l.verb == "remember") {
            ASSERT_TRUE(parseServerAddress(l.rest.c_str(), ScopeErrors::Refuse, &current_dns)) << l.rest;
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
    for (const std::string &command : setup)
        ASSERT_TRUE(shell(command)) << command;
    if (peer) {
        peer->enter();  // the servers live on the far side of the link
        // An IPv6 address cannot be bound while it is tentative (until its link is up).
        ASSERT_TRUE(awaitLinksSettled()) << "the far side's links did not settle in 10 s";
    }
    for (auto &r : rules)
        servers[r.first].reset(new FakeServer(r.first, r.second));
    for (auto &t : streams)
        servers["tcp:" + t.first].reset(new TcpFakeServer(t.first, t.second));
    for (const std::string &address : refusing)
        servers[address].reset(new RefusingServer(address));
    if (peer)
        peer->leave();
    ASSERT_TRUE(awaitLinksSettled()) << "a link without carrier, or tentative addresses, after 10 s";

    // The run: the binary, or one exchange with a question for `question`.
    ToolRun run{"", "", -1};
    bool result = false;
    double stopping = -1;
    const double start = now();
    for (const Line &l : GetParam().lines) {
        if (l.verb == "run" || l.verb == "start") {
            std::vector<std::string> args;
            for (const std::string &a : words(l.rest))
                args.push_back(a == "''" ? "" : unescape(a));
            run = l.verb == "run" ? runTool(args, env, stdinClosed)
                                  : runInBackground(args, env, stdinClosed, GetParam().lines, servers, &stopping);
        } else if (l.verb == "exchange") {
            const std::set<std::string> files = configurationFiles(resolvConf);
            // bad-socket: the local port is taken, so no socket can be had.
            const bool badSocket = l.rest == "bad-socket";
            const int blocker = badSocket ? boundUdpSocket("0.0.0.0", 0) : -1;
            sockaddr_in taken{};
            socklen_t takenLength = sizeof taken;
            getsockname(blocker, reinterpret_cast<sockaddr *>(&taken), &takenLength);
            QuerySockets sockets(badSocket ? ntohs(taken.sin_port) : 0);
            Endpoint server;
            ASSERT_TRUE(parseServerAddress(badSocket ? "127.0.0.1" : l.rest.c_str(), ScopeErrors::Refuse, &server));
            DnsMessage msg;
            msg.id = 0x4242;
            msg.addQuestion(DNS_TYPE_A, question.c_str());
            ddnsError = 0;
            result = dns_query_s(sockets, msg, server);
            if (result) {
                testing::internal::CaptureStdout();
                printReply(msg);
                run.out = testing::internal::GetCapturedStdout();
            }
            if (blocker >= 0)
                close(blocker);
            EXPECT_EQ(configurationFiles(resolvConf), files) << "the exchange left its configuration open";
        }
    }
    const double took = now() - start;
    usleep(50000);  // what the run sent last reaches its server's log

    const std::vector<std::string> notices = notify ? notify->messages() : std::vector<std::string>();
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
            EXPECT_EQ(current_dns.isSet() ? current_dns.text() : "0.0.0.0", l.rest);
        } else if (l.verb == "stops-within" && timed) {
            EXPECT_LE(stopping, std::stod(l.rest));
        } else if (l.verb == "took" && timed) {
            EXPECT_GE(took, std::stod(w.at(0)));
            EXPECT_LE(took, std::stod(w.at(1)));
        } else if (l.verb == "sent" && w.at(0).find('#') == std::string::npos) {
            EXPECT_EQ(servers.at(w[0])->received().size(), std::stoul(w.at(1))) << l.rest;
        } else if (l.verb == "sent" || l.verb == "at") {
            const Datagram *d = datagramOf(servers, w.at(0), keep);
            ASSERT_NE(d, nullptr) << "nothing received: " << l.rest;
            if (l.verb == "sent") {
                EXPECT_TRUE(matches(parsePattern(l.rest.substr(w[0].size())), d->data))
                    << l.rest << "\ngot " << hexOf(d->data);
            } else if (l.verb == "at" && timed) {
                EXPECT_NEAR(d->at - start, std::stod(w.at(1)), 0.4) << l.rest;
            }
        } else if (l.verb == "ids-differ" || (l.verb == "gap" && timed)) {
            std::vector<Datagram> other;
            const Datagram *a = datagramOf(servers, w.at(0), keep);
            const Datagram *b = datagramOf(servers, w.at(1), other);
            ASSERT_TRUE(a && b) << l.rest;
            if (l.verb == "gap") {
                EXPECT_GE(b->at - a->at, std::stod(w.at(2))) << l.rest;
                EXPECT_LE(b->at - a->at, std::stod(w.at(3))) << l.rest;
            } else {
                EXPECT_NE(Bytes(a->data.begin(), a->data.begin() + 2), Bytes(b->data.begin(), b->data.begin() + 2));
            }
        } else if (l.verb == "notified") {
            const std::string wanted = unescape(l.rest);
            EXPECT_TRUE(std::any_of(notices.begin(), notices.end(),
                                    [&](const std::string &n) { return globMatch(wanted, n); }))
                << "no notification like: " << wanted;
        } else if (l.verb == "notified-count") {
            const long n = std::count_if(notices.begin(), notices.end(),
                                         [&](const std::string &m) { return globMatch(w.at(0), m); });
            EXPECT_GE(n, std::stol(w.at(1))) << l.rest;
            EXPECT_LE(n, std::stol(w.at(2))) << l.rest;
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
INSTANTIATE_TEST_SUITE_P(Watch, Scenarios, ::testing::ValuesIn(load("tool/watch.txt")), rowName);

// Identifiers of many runs in a row, most of them in the same second: spread
// over the 16-bit range, and the clock's seconds no more often than chance
// would have it (once in 65536 draws).
TEST_F(IsolatedNetwork, IdentifiersOfManyRunsAreNeitherRepeatedNorTheClock)
{
    Rule answer;
    answer.key = "*";
    answer.reply = "ID 8180 0001 0000 0000 0000 QD";
    FakeServer server("127.0.0.1", {answer});
    const int RUNS = 1000;
    std::vector<time_t> clocks;
    for (int i = 0; i < RUNS; ++i) {
        clocks.push_back(time(nullptr));
        ASSERT_EQ(runTool({"-n", "127.0.0.1", "host.test"}).status, 0);
    }
    usleep(50000);
    const std::vector<Datagram> queries = server.received();
    ASSERT_EQ(queries.size(), static_cast<size_t>(RUNS));
    std::map<uint16_t, int> seen;
    int clockLike = 0;
    for (int i = 0; i < RUNS; ++i) {
        const uint16_t id = static_cast<uint16_t>(queries[i].data[0] << 8 | queries[i].data[1]);
        ++seen[id];
        const uint16_t clock = static_cast<uint16_t>(clocks[i]);
        clockLike += id == clock || id == static_cast<uint16_t>(clock + 1);
    }
    const auto most = std::max_element(seen.begin(), seen.end(),
                                       [](const auto &a, const auto &b) { return a.second < b.second; });
    EXPECT_LE(most->second, 5) << "identifier " << most->first << " came " << most->second << " times";
    EXPECT_LE(clockLike, 3) << "identifiers equal to the clock's seconds";
}

// A gateway that answers a NAT-PMP request with a malformed datagram every
// 50 ms, for longer than any episode may last: the episode still ends at its
// own deadline, with no answer.
TEST_F(IsolatedNetwork, GatewayDatagramsCannotStretchTheNatPmpEpisode)
{
    const int gateway = boundUdpSocket("127.0.0.1", NAT_PMP_PORT);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        sockaddr_in asker{};
        socklen_t len = sizeof asker;
        char request[16];
        pollfd p{gateway, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0 ||
            recvfrom(gateway, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&asker), &len) < 0)
            return;
        const unsigned char junk[2] = {0, 0x80};
        for (const double until = now() + 6; now() < until && !stop; usleep(50000))
            sendto(gateway, junk, sizeof junk, 0, reinterpret_cast<sockaddr *>(&asker), len);
    });
    uint32_t external = 0;
    const double start = now();
    const GatewayAnswer answer = askExternalAddress(inet_addr("127.0.0.1"), &external);
    const double took = now() - start;
    stop = true;
    flood.join();
    close(gateway);
    EXPECT_EQ(answer, GatewayAnswer::NoAnswer);
    EXPECT_LT(took, 3.0) << "the episode outlived its 2 s deadline";
}

// Drops every capability for good: root (also root of a user namespace)
// regains none on exec. False when that cannot be done.
bool dropCapabilities()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    return prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED) == 0 &&
           syscall(SYS_capset, &header, none) == 0;
}

// The run is not dumpable: another process of the same user, neither
// holding any capability, cannot read the password from its /proc files
// while it runs. Both run as whoever runs the test, so it needs no other
// account and no access to the build tree for anyone else.
TEST_F(IsolatedNetwork, RunKeepsItsProcFilesFromOtherProcessesOfItsUser)
{
    FakeServer silent("127.0.0.1", {});
    int execReport[2];
    ASSERT_EQ(pipe2(execReport, O_CLOEXEC), 0);
    const pid_t tool = fork();
    if (tool == 0) {
        if (dropCapabilities())
            execl(VINTREL_BINARY, "vintrel", "-n", "127.0.0.1", "host.example", nullptr);
        const int error = errno;  // exec failed: tell the test why
        if (write(execReport[1], &error, sizeof error) < 0)
            _exit(126);
        _exit(127);
    }
    close(execReport[1]);
    int execError = 0;
    const bool started = read(execReport[0], &execError, sizeof execError) == 0;
    close(execReport[0]);
    if (!started) {
        waitpid(tool, nullptr, 0);
        FAIL() << "cannot start " << VINTREL_BINARY << ": " << strerror(execError);
    }
    for (int i = 0; i < 300 && silent.received().empty(); ++i)
        usleep(10000);  // it has sent: it is past its start
    const std::string environ = "/proc/" + std::to_string(tool) + "/environ";
    const pid_t reader = fork();
    if (reader == 0) {
        if (!dropCapabilities())
            _exit(3);
        const int fd = open(environ.c_str(), O_RDONLY);
        _exit(fd < 0 && errno == EACCES ? 0 : fd >= 0 ? 1 : 2);
    }
    int status = -1;
    waitpid(reader, &status, 0);
    kill(tool, SIGTERM);
    waitpid(tool, nullptr, 0);
    ASSERT_FALSE(silent.received().empty()) << "the run started but sent nothing";
    ASSERT_TRUE(WIFEXITED(status)) << "the reader did not end normally";
    EXPECT_NE(WEXITSTATUS(status), 3) << "the reader could not drop its capabilities";
    EXPECT_NE(WEXITSTATUS(status), 2) << "opening the environment failed otherwise than with EACCES";
    EXPECT_NE(WEXITSTATUS(status), 1) << "its environment was readable";
}

} // namespace
