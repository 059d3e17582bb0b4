// Watch mode: keeps a name's addresses registered while the process runs.
//
// This process only watches (kernel address events, signals, timers, the
// gateway's announcements), compares and decides. Each attempt is the
// one-shot update run in a child process, and so is each check of the
// public address behind NAT: stopping never waits for an exchange, and
// nothing of an exchange (memory, sockets) outlives it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "address_watch.h"
#include "ddns_utils.h"
#include "ipv4_path.h"
#include "ipv6_pick.h"
#include "nat_gateway.h"
#include "netlink_query.h"
#include "service_notify.h"
#include "vintrel.h"
#include "watch_plan.h"

namespace {

// The longest a child can take, every wait of it bounded: an attempt asks
// at most four questions (discovery's NS and A, MYIP, the update), one
// NAT-PMP episode and a few route lookups; a check one NAT-PMP episode and
// MYIP. A second to spare; a child still running past that is stuck, and
// is killed.
const long long ATTEMPT_BOUND_S = 4 * UDP_EXCHANGE_SECONDS + NAT_PMP_EPISODE_SECONDS + 4 * KERNEL_ANSWER_SECONDS + 1;
const long long CHECK_BOUND_S = UDP_EXCHANGE_SECONDS + NAT_PMP_EPISODE_SECONDS + 2 * KERNEL_ANSWER_SECONDS + 1;

// Milliseconds on a clock that also counts time spent suspended towards
// the refresh.
long long nowMs()
{
    timespec t;
    clock_gettime(CLOCK_BOOTTIME, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// What an update carries: ip as the records see it (NO_ADDRESS: no 201
// record, 0: the address the server sees; behind NAT the public address
// itself once known), and the IPv6 address if any.
struct Addresses {
    uint32_t ip = NO_ADDRESS;
    bool hasIpv6 = false;
    unsigned char ipv6[16] = {};
};

// True when `wanted` asks for something `known` does not hold. A missing
// IPv6 address is no change: losing it is no reason to update.
bool asksMore(const Addresses &wanted, const Addresses &known)
{
    return wanted.ip != known.ip || (wanted.hasIpv6 && (!known.hasIpv6 || memcmp(wanted.ipv6, known.ipv6, 16) != 0));
}

std::string describe(const Addresses &a)
{
    std::string text;
    if (a.ip != NO_ADDRESS) {
        in_addr v4;
        v4.s_addr = a.ip;
        // Address 0 asks the server for the address the update comes from.
        text += v4.s_addr == 0 ? "o endere\xE7o visto pelo servidor" : inet_ntoa(v4);
    }
    if (a.hasIpv6) {
        char v6[INET6_ADDRSTRLEN];
        text += (text.empty() ? "" : " ") + std::string(inet_ntop(AF_INET6, a.ipv6, v6, sizeof v6));
    }
    return text.empty() ? "(nenhum endere\xE7o)" : text;
}

// What a finished attempt tells the watcher through its pipe.
struct AttemptReport {
    int status;       // the one-shot run's exit status; -1: no reply
    uint32_t server;  // the update server it used; 0: none was found
    Addresses sent;
    PublicView seen;  // behind NAT: the public address it learned or was given
    bool behindNat;   // -a auto found the local address towards the server not public
};

// What a finished check tells the watcher.
struct CheckReport {
    PublicView seen;
};

enum ChildKind { ATTEMPT, CHECK };

enum Cause { START, CHANGE, REFRESH, RETRY, SIGNAL };

const char *const CAUSE_LINES[] = {
    "Atualiza\xE7\xE3o: in\xED" "cio",
    "Atualiza\xE7\xE3o: mudan\xE7" "a de endere\xE7o",
    "Atualiza\xE7\xE3o: renova\xE7\xE3o peri\xF3" "dica",
    "Atualiza\xE7\xE3o: nova tentativa",
    "Atualiza\xE7\xE3o: sinal SIGHUP",
};

struct Watch {
    const Settings &st;
    int events = -1;         // rtnetlink socket
    int signals = -1;        // signalfd for SIGHUP, SIGINT, SIGTERM
    int announcements = -1;  // the gateway's announcements (-a auto)
    uint32_t server;         // the update server; 0: to be discovered
    Addresses registered, lastTried;
    bool hasRegistered = false, hasTried = false;
    bool ready = false;
    pid_t child = -1;
    ChildKind childKind = ATTEMPT;
    int reportFd = -1;          // the child's pipe
    long long childBoundAt = 0;  // when the child counts as stuck
    long long watchdogEveryMs = 0, watchdogAt = 0;

    WatchPlan plan;
    // Behind NAT (-a auto, the local address towards the server not public).
    uint32_t gateway = 0;  // the next hop towards the server: only its announcements count
    int joinedIf = 0;      // the interface the announcements are heard on
    bool attemptLearns = false;

    explicit Watch(const Settings &settings)
        : st(settings), server(settings.nameserver.ipv4Address()), plan(settings.watchSeconds, settings.checkSeconds)
    {
    }
};

// The addresses an update would carry now, found without printing: the
// route probe towards the known server (behind NAT, the public address last
// learned), the IPv6 pick. *behindNat: -a auto finds the local address
// towards the server not public.
Addresses wantedAddresses(const Watch &w, bool *behindNat = nullptr)
{
    Addresses a;
    a.ip = w.st.ip;
    bool nat = false;
    if (w.st.ipAuto) {
        uint32_t local;
        a.ip = autoAddress(w.server, &local);
        nat = a.ip == 0 && local != 0;
        if (nat)
            a.ip = w.plan.check.learned().address;
    } else if (a.ip == 0 && w.server != 0)
        localAddressTowards(w.server, &a.ip);  // without a route it stays 0, as the update then says
    if (w.st.ipv6) {
        a.hasIpv6 = true;
        memcpy(a.ipv6, w.st.ipv6, 16);
    } else if (w.st.ipv6Auto) {
        a.hasIpv6 = stableIpv6Address(a.ipv6);
    }
    if (behindNat)
        *behindNat = nat;
    return a;
}

// A child's first steps: it dies with the watcher and keeps none of its
// descriptors or blocked signals.
void leaveWatcher(const Watch &w)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    close(w.events);
    close(w.signals);
    close(w.announcements);  // -1 without -a auto: close refuses it harmlessly
}

// Reports cross the pipe as bytes: their padding too must be defined.
void zeroReport(void *report, size_t size) { memset(report, 0, size); }

// Member by member, so that a zeroed report keeps its padding zeroed.
void storeView(PublicView &into, const PublicView &view)
{
    into.address = view.address;
    into.source = view.source;
}

[[noreturn]] void sendReport(int reportFd, const void *report, size_t size)
{
    fflush(stdout);
    const bool told = write(reportFd, report, size) == static_cast<ssize_t>(size);
    _exit(told ? 0 : 1);
}

// The child's side of an attempt: the one-shot run, then its report.
[[noreturn]] void runAttempt(const Watch &w, int reportFd)
{
    Settings once = w.st;
    once.watchSeconds = 0;
    once.nameserver = w.server != 0 ? Endpoint::ipv4(w.server) : Endpoint();
    once.learnPublic = w.attemptLearns;
    once.seen = w.plan.check.learned();
    if (once.ipv6)
        once.ipv6 = once.ipv6buf;
    AttemptReport report;
    zeroReport(&report, sizeof report);
    report.status = runQuery(once);
    report.server = once.nameserver.ipv4Address();
    report.sent.ip = once.ip;
    storeView(report.seen, once.seen);
    report.behindNat = once.behindNat;
    report.sent.hasIpv6 = once.ipv6 != nullptr;
    if (once.ipv6)
        memcpy(report.sent.ipv6, once.ipv6, 16);
    sendReport(reportFd, &report, sizeof report);
}

// The child's side of a check: one episode of learning the public address.
[[noreturn]] void runCheck(const Watch &w, int reportFd)
{
    QuerySockets sockets(w.st.ip_port);
    CheckReport report;
    zeroReport(&report, sizeof report);
    storeView(report.seen, learnPublicAddress(sockets, w.server, w.st.qtext));
    sendReport(reportFd, &report, sizeof report);
}

// Forks a child that reports through a pipe; false when no pipe or
// process could be had.
bool startChild(Watch &w, ChildKind kind)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        leaveWatcher(w);
        if (kind == CHECK)
            runCheck(w, pipeFds[1]);
        runAttempt(w, pipeFds[1]);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return false;
    }
    w.child = pid;
    w.childKind = kind;
    w.reportFd = pipeFds[0];
    w.childBoundAt = nowMs() + (kind == CHECK ? CHECK_BOUND_S : ATTEMPT_BOUND_S) * 1000;
    return true;
}

void startAttempt(Watch &w, Cause cause)
{
    puts(CAUSE_LINES[cause]);
    fflush(stdout);
    const long long now = nowMs();
    // Behind NAT an attempt learns the public address first, unless a
    // check has just done so.
    w.attemptLearns = w.st.ipAuto && w.plan.check.attemptLearns(now);
    if (!startChild(w, ATTEMPT)) {
        w.plan.attemptNotStarted(now);  // out of descriptors or processes: later
        return;
    }
    if (w.attemptLearns)
        w.plan.check.attemptLearning(now);
}

void startCheck(Watch &w)
{
    const long long now = nowMs();
    if (startChild(w, CHECK))
        w.plan.check.checkStarted(now);
    else
        w.plan.check.checkNotStarted(now);
}

// Without -n, no server found: the update went nowhere useful.
bool discoveryFailed(const Watch &w, const AttemptReport &r)
{
    return !w.st.nameserver.isSet() && r.server == 0;
}

Outcome outcomeOf(const Watch &w, const AttemptReport &r, bool reported)
{
    if (!reported || r.status == -1 || r.status == 2 || discoveryFailed(w, r))
        return Outcome::Failed;  // no reply, no send, server failure, no server: may mend itself
    return r.status == 0 ? Outcome::Registered : Outcome::Refused;
}

std::string clockText()
{
    char text[32];
    const time_t t = time(nullptr);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", localtime(&t));
    return text;
}

// What went wrong, for the service manager's status line, in the words the
// run printed (ISO-8859-1, as every message: the notification is sent in
// UTF-8).
std::string failureText(const Watch &w, const AttemptReport &r, bool reported)
{
    if (!reported)
        return "Tentativa interrompida";
    if (discoveryFailed(w, r))
        return "Servidor DDNS n\xE3o existente ou n\xE3o encontrado";
    if (r.status == -1)
        return "N\xE3o foi possivel obter uma resposta do servidor";
    if (r.status == 5)
        return "Pedido recusado pelo servidor";
    return r.status == 2 ? "Falha no servidor" : "Erro " + std::to_string(r.status) + " do servidor";
}

// The service manager's status line for an attempt that just ended.
std::string statusLine(const Watch &w, Outcome outcome, const AttemptReport &r, bool reported)
{
    if (outcome == Outcome::Registered)
        return "STATUS=Registrado: " + describe(w.registered) + " em " + clockText();
    std::string line = "STATUS=" + failureText(w, r, reported) + " em " + clockText();
    if (outcome == Outcome::Failed)
        return line + "; nova tentativa em " + std::to_string((w.plan.retryAt() - nowMs() + 999) / 1000) + " s";
    return line + "; aguardando mudan\xE7" "a de endere\xE7o, renova\xE7\xE3o ou SIGHUP";
}

// The gateway towards the server, whose announcements are listened to.
void followGateway(Watch &w)
{
    int ifindex = 0;
    if (w.announcements < 0)
        return;
    if (w.server == 0 || !routeTowards(w.server, &w.gateway, &ifindex) || w.gateway == 0) {
        w.gateway = 0;
        ifindex = 0;
    }
    followAnnouncements(w.announcements, ifindex, &w.joinedIf);
}

void finishAttempt(Watch &w, const AttemptReport &report, bool reported)
{
    const long long now = nowMs();
    const Outcome outcome = outcomeOf(w, report, reported);
    if (reported) {
        w.lastTried = report.sent;
        w.hasTried = true;
        w.server = report.server;
        if (w.st.ipAuto) {
            followGateway(w);
            w.plan.check.pathSeen(ipv4PathTowards(w.server));
            if (report.seen.address != 0)
                w.plan.check.learnedView(report.seen, now);
            w.plan.check.setBehindNat(report.behindNat && w.server != 0, now);
        }
    }
    w.plan.attemptEnded(outcome, now);
    if (outcome == Outcome::Registered) {
        w.registered.ip = report.sent.ip;
        if (report.sent.hasIpv6) {
            w.registered.hasIpv6 = true;
            memcpy(w.registered.ipv6, report.sent.ipv6, 16);
        }
        w.hasRegistered = true;
    } else if (outcome == Outcome::Failed) {
        w.server = w.st.nameserver.ipv4Address();  // without -n: discover again
    }
    std::string state = statusLine(w, outcome, report, reported);
    if (!w.ready)
        state = "READY=1\n" + state;
    w.ready = true;
    notifyServiceManager(state);
}

// Update when the wanted addresses ask for more than the server holds,
// unless they are just what the last attempt tried (its failure or refusal
// has its own next step).
void compareWanted(Watch &w, const Addresses &wanted)
{
    if (w.hasRegistered && !asksMore(wanted, w.registered))
        return;
    if (w.hasTried && !asksMore(wanted, w.lastTried))
        return;
    startAttempt(w, CHANGE);
}

// After a burst of kernel events has settled. Behind NAT the public
// address may have changed too, but only when the way towards the server
// did (route, interface, its addresses, its link): then a check looks
// again. IPv6 events and lifetime refreshes leave it as it was.
void compareAfterEvents(Watch &w)
{
    bool behindNat;
    const Addresses wanted = wantedAddresses(w, &behindNat);
    if (w.st.ipAuto) {
        followGateway(w);
        w.plan.check.setBehindNat(behindNat && w.server != 0, nowMs());
        w.plan.check.eventsSettled(ipv4PathTowards(w.server));
    }
    compareWanted(w, wanted);
}

// A check that learned nothing is tried again later, as a failed attempt
// is, and changes nothing else; one that learned compares.
void finishCheck(Watch &w, const CheckReport &report, bool reported)
{
    const long long now = nowMs();
    if (!reported || report.seen.address == 0) {
        if (w.plan.check.learnedNothing(now))
            printPublicView(PublicView());
        return;
    }
    if (w.plan.check.learnedView(report.seen, now))
        printPublicView(report.seen);
    if (w.plan.check.behindNat())
        compareWanted(w, wantedAddresses(w));
}

// Reads what the child reported and lets it go.
void finishChild(Watch &w)
{
    AttemptReport attempt{};
    CheckReport check{};
    void *report = w.childKind == CHECK ? static_cast<void *>(&check) : &attempt;
    const size_t size = w.childKind == CHECK ? sizeof check : sizeof attempt;
    const bool reported = read(w.reportFd, report, size) == static_cast<ssize_t>(size);
    close(w.reportFd);
    w.reportFd = -1;
    waitpid(w.child, nullptr, 0);
    w.child = -1;
    if (w.childKind == CHECK)
        finishCheck(w, check, reported);
    else
        finishAttempt(w, attempt, reported);
}

// The earliest time something is due; LLONG_MAX when nothing is.
long long nextDue(const Watch &w)
{
    const long long watchdog = w.watchdogEveryMs > 0 ? w.watchdogAt : LLONG_MAX;
    // While a child runs, the plan waits for it to end.
    return std::min(watchdog, w.child >= 0 ? w.childBoundAt : w.plan.next(nowMs()).at);
}

// A child past its bound is stuck (it cannot be waiting on the network any
// more): it is killed, and the watcher goes on as after a failure.
void stopStuckChild(Watch &w)
{
    kill(w.child, SIGKILL);
    printf("%s interrompida: passou de %lld s\n", w.childKind == CHECK ? "Verifica\xE7\xE3o" : "Tentativa",
           w.childKind == CHECK ? CHECK_BOUND_S : ATTEMPT_BOUND_S);
    fflush(stdout);
    finishChild(w);
}

// Does what is due now: the watchdog while the watcher is sound, the rest
// when no child is under way.
void runDueWork(Watch &w, long long now)
{
    if (w.child >= 0 && now >= w.childBoundAt)
        stopStuckChild(w);
    if (w.watchdogEveryMs > 0 && now >= w.watchdogAt) {
        notifyServiceManager("WATCHDOG=1");
        w.watchdogAt = now + w.watchdogEveryMs;
    }
    if (w.child >= 0)
        return;
    const Due due = w.plan.next(now);
    if (due.at > now)
        return;
    w.plan.taken(due.work);
    switch (due.work) {
    case Work::Signal: startAttempt(w, SIGNAL); break;
    case Work::Settle: compareAfterEvents(w); break;
    case Work::Retry: startAttempt(w, RETRY); break;
    case Work::Refresh: startAttempt(w, REFRESH); break;
    case Work::Check: startCheck(w); break;
    case Work::Nothing: break;
    }
}

// Reads the waiting signals; false when the watch is to end.
bool takeSignals(Watch &w)
{
    signalfd_siginfo info;
    while (read(w.signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGHUP)
            return false;
        w.plan.signalled();
    }
    return true;
}

void stop(Watch &w)
{
    if (w.child >= 0) {
        kill(w.child, SIGKILL);
        waitpid(w.child, nullptr, 0);
        close(w.reportFd);
    }
    close(w.announcements);
    fflush(stdout);
    notifyServiceManager("STOPPING=1");
}

int openSignals()
{
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGHUP);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &watched, nullptr) != 0)
        return -1;
    return signalfd(-1, &watched, SFD_NONBLOCK | SFD_CLOEXEC);
}

} // namespace

int runWatch(const Settings &st)
{
    // Each line reaches a pipe (the journal) as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Watch w(st);
    w.events = openAddressWatch();
    w.signals = openSignals();
    if (w.events < 0 || w.signals < 0) {
        puts("N\xE3o foi poss\xEDvel observar as mudan\xE7" "as de endere\xE7o");
        return -1;
    }
    if (st.ipAuto) {
        w.announcements = openAnnouncementSocket();
        if (w.announcements < 0)
            puts("Porta 5350 indispon\xEDvel: os an\xFA" "ncios do roteador n\xE3o ser\xE3o ouvidos");
    }
    w.watchdogEveryMs = watchdogMicroseconds() / 2000;
    w.watchdogAt = nowMs() + w.watchdogEveryMs;
    w.plan.begin(nowMs());
    startAttempt(w, START);
    int status = 0;
    for (;;) {
        // poll passes over the descriptors that are -1.
        pollfd fds[4] = {{w.signals, POLLIN, 0},
                         {w.events, POLLIN, 0},
                         {w.reportFd, POLLIN, 0},
                         {w.announcements, POLLIN, 0}};
        const long long due = nextDue(w);
        const long long wait = due == LLONG_MAX ? -1 : std::max(0LL, due - nowMs());
        const int ready = poll(fds, 4, static_cast<int>(std::min<long long>(wait, INT_MAX)));
        if (ready < 0 && errno != EINTR) {
            status = -1;  // cannot wait any more: not a clean stop
            break;
        }
        if (fds[0].revents && !takeSignals(w))
            break;
        const long long now = nowMs();
        if (fds[1].revents && drainAddressWatch(w.events))
            w.plan.kernelEvent(now);
        if (fds[3].revents && takeAnnouncements(w.announcements, w.gateway, w.joinedIf))
            w.plan.check.announcement(now);
        if (w.reportFd >= 0 && fds[2].revents)
            finishChild(w);
        runDueWork(w, nowMs());
    }
    stop(w);
    return status;
}
