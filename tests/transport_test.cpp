#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/mount.h>

#include <string>

#include "ddns_utils.h"
#include "netns.h"

namespace {

int openDescriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir && readdir(dir))
        ++count;
    if (dir)
        closedir(dir);
    return count;
}

std::string dotted(uint32_t address)
{
    in_addr a;
    a.s_addr = address;
    return inet_ntoa(a);
}

typedef IsolatedNetwork ResolverConfiguration;

TEST_F(ResolverConfiguration, TakesTheFirstUsableNameserverLine)
{
    const std::string longWord(45, 'n');
    const std::string longLine(199, ' ');
    const std::pair<std::string, const char *> cases[] = {
        {"nameserver ::1\nnameserver 192.0.2.1\n", "192.0.2.1"},
        {"NAMESERVER 192.0.2.2\n", "192.0.2.2"},
        {"   nameserver\t192.0.2.3 # primary\n", "192.0.2.3"},
        {"nameserver 192.0.2.4\nnameserver 192.0.2.5\n", "192.0.2.4"},
        {"nameserver 255.255.255.255\nnameserver 192.0.2.6\n", "192.0.2.6"},
        {"nameserver ns.example\nnameserver 192.0.2.7", "192.0.2.7"},
        {"# nameserver 192.0.2.7\nnameserver\n", nullptr},
        {"domain example\nsearch example\n", nullptr},
        {"", nullptr},
        // Over-long words are never copied past their buffers; the line
        // names no server and reading goes on.
        {longWord + " 192.0.2.8\nnameserver 192.0.2.9\n", "192.0.2.9"},
        {"nameserver 192.0.2.10" + std::string(40, '0') + "\nnameserver 192.0.2.11\n",
         "192.0.2.11"},
        // A line longer than 199 characters is read in pieces.
        {longLine + "nameserver 192.0.2.12\n", "192.0.2.12"},
    };
    for (const auto &c : cases) {
        writeResolvConf(c.first);
        uint32_t ip = 0;
        bool found = getCurrentDns(&ip, 6);
        EXPECT_EQ(found, c.second != nullptr) << c.first;
        if (found && c.second) {
            EXPECT_EQ(dotted(ip), c.second) << c.first;
        }
    }
}

TEST_F(ResolverConfiguration, MissingFileAndRepeatedCalls)
{
    writeResolvConf("nameserver 192.0.2.1\n");
    const int before = openDescriptors();
    uint32_t ip;
    for (int i = 0; i < 500; ++i)
        ASSERT_TRUE(getCurrentDns(&ip));
    EXPECT_EQ(openDescriptors(), before);

    ASSERT_EQ(mount("none", "/etc", "tmpfs", 0, nullptr), 0);
    EXPECT_FALSE(getCurrentDns(&ip));
    umount("/etc");
}

typedef IsolatedNetwork UdpEndpoint;

TEST_F(UdpEndpoint, BindsTheLowSixteenBitsOfThePort)
{
    int s = getUdpSocket(true, 0, 0x10000 + 5353);
    ASSERT_GE(s, 0);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(s, reinterpret_cast<sockaddr *>(&local), &len);
    EXPECT_EQ(ntohs(local.sin_port), 5353);

    const int before = openDescriptors();
    EXPECT_EQ(getUdpSocket(true, 0, 5353), -1) << "port in use";
    EXPECT_EQ(openDescriptors(), before);
    closeUdpSocket(s, true);
    EXPECT_EQ(openDescriptors(), before - 1);
}

TEST_F(UdpEndpoint, RouteProbeFindsTheLocalAddress)
{
    shell("ip addr add 198.51.100.7/32 dev lo && "
          "ip route add 203.0.113.0/24 dev lo src 198.51.100.7");
    uint32_t local = 0;
    testing::internal::CaptureStdout();
    bool found = getBestInterfaceAddress(inet_addr("203.0.113.9"), &local);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(found);
    EXPECT_EQ(dotted(local), "198.51.100.7");
    EXPECT_EQ(out.rfind("rc=0\nrc=0\nSock IP address: 198.51.100.7\nSock port      : ", 0), 0u)
        << out;
    EXPECT_EQ(out.find("Sock port      : 0\n"), std::string::npos);
}

TEST_F(UdpEndpoint, RouteProbeWithoutRouteLeavesTheAddress)
{
    uint32_t local = 12345;
    const int before = openDescriptors();
    testing::internal::CaptureStdout();
    bool found = false;
    for (int i = 0; i < 200; ++i)
        found = found || getBestInterfaceAddress(inet_addr("192.0.2.1"), &local);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(found);
    EXPECT_EQ(local, 12345u);
    EXPECT_EQ(out.substr(0, out.find("Sock port")),
              "rc=-1\nrc=0\nSock IP address: 0.0.0.0\n");
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
