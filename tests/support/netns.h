// Fixture for tests that send or receive: they run only inside the isolated
// namespace made by netns-run, with a private /etc/resolv.conf.
#ifndef VINTREL_TEST_NETNS_H
#define VINTREL_TEST_NETNS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

// Loopback is the only interface (and it is up).
inline bool onlyLoopback()
{
    struct if_nameindex *ifs = if_nameindex();
    if (!ifs)
        return false;
    bool onlyLo = true;
    for (struct if_nameindex *i = ifs; i->if_index != 0; ++i)
        onlyLo = onlyLo && std::string(i->if_name) == "lo";
    if_freenameindex(ifs);
    return onlyLo;
}

class IsolatedNetwork : public ::testing::Test {
protected:
    std::string resolvConf;

    void SetUp() override
    {
        if (const char *why = getenv("VINTREL_NETNS_SKIP"))
            GTEST_SKIP() << why;
        if (!getenv("VINTREL_IN_NETNS") || !onlyLoopback())
            GTEST_SKIP() << "not inside an isolated network namespace (run through netns-run)";
        char path[] = "/tmp/vintrel-resolv-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        resolvConf = path;
        ASSERT_EQ(mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0)
            << "cannot bind a private resolv.conf";
        mounted = true;
    }

    void TearDown() override
    {
        if (etcCovered)
            umount("/etc");
        if (mounted)
            umount("/etc/resolv.conf");
        if (!resolvConf.empty())
            unlink(resolvConf.c_str());
    }

    // Replaces what /etc/resolv.conf reads as inside this test.
    void writeResolvConf(const std::string &text)
    {
        FILE *f = fopen(resolvConf.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }

    // Puts something other than a plain file at /etc/resolv.conf, in an
    // empty /etc: "absent", "fifo", "zero" (a link to /dev/zero) or "link"
    // (a link to the file writeResolvConf writes).
    void coverResolvConf(const std::string &kind)
    {
        ASSERT_EQ(mount("none", "/etc", "tmpfs", 0, nullptr), 0);
        etcCovered = true;
        const char *path = "/etc/resolv.conf";
        const int made = kind == "fifo"   ? mkfifo(path, 0644)
                         : kind == "zero" ? symlink("/dev/zero", path)
                         : kind == "link" ? symlink(resolvConf.c_str(), path)
                                          : 0;
        ASSERT_EQ(made, 0) << kind;
    }

private:
    bool mounted = false, etcCovered = false;
};

// Runs a shell command; false when it fails.
inline bool shell(const std::string &command) { return system(command.c_str()) == 0; }

// Waits up to 10 s until every link that is up has its carrier (LOWER_UP)
// and none of their IPv6 addresses is tentative: the kernel finishes a new
// address in a work item, even without duplicate address detection, and
// under load that can outlast the start of a run. Links left down (and so
// their tentative addresses) are not waited for.
inline bool awaitLinksSettled()
{
    return shell("for i in $(seq 200); do"
                 " ip -o link show up | grep -qv LOWER_UP ||"
                 " [ -n \"$(ip -6 -o addr show tentative | awk '{print $2}' |"
                 "   while read -r dev; do ip -o link show dev \"$dev\" up; done)\" ] || exit 0;"
                 " sleep 0.05; done; exit 1");
}

// A second network namespace joined to the test's own by a veth pair: "vh"
// (hostAddress) on the test's side, "vs" (peerAddress) on the other, both
// up, without duplicate address detection (a new address is usable at
// once). Sockets opened between enter() and leave(), and threads started
// then, live on the far side.
class PeerNetwork {
public:
    PeerNetwork(const std::string &hostAddress, const std::string &peerAddress)
    {
        const char *noDad = "for f in all default; do echo 0 > /proc/sys/net/ipv6/conf/$f/accept_dad; done";
        home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (home < 0 || unshare(CLONE_NEWNET) != 0)
            throw std::runtime_error("cannot make a second network namespace");
        peer = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const bool peerReady = shell(noDad) && shell("ip link set lo up");
        leave();
        const std::string far = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(peer);
        if (!peerReady || !shell(noDad) ||
            !shell("ip link add vh type veth peer name vs netns " + far) ||
            !shell("echo 1 > /proc/sys/net/ipv4/conf/vh/promote_secondaries") ||
            !shell("ip addr add " + hostAddress + " dev vh && ip link set vh up"))
            throw std::runtime_error("cannot set up this side of the veth pair");
        enter();
        const bool farUp = shell("ip addr add " + peerAddress + " dev vs && ip link set vs up");
        leave();
        if (!farUp)
            throw std::runtime_error("cannot set up the far side of the veth pair");
    }

    ~PeerNetwork()
    {
        close(peer);
        close(home);
    }

    void enter() { setns(peer, CLONE_NEWNET); }
    void leave() { setns(home, CLONE_NEWNET); }

private:
    int home = -1, peer = -1;
};

#endif
