// Fixture for tests that send or receive: they run only inside the isolated
// namespace made by netns-run, with a private /etc/resolv.conf.
#ifndef VINTREL_TEST_NETNS_H
#define VINTREL_TEST_NETNS_H

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

#endif
