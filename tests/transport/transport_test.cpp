// The UDP endpoint and the route probe, whose effects show only in-process.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

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

// The four probe lines and the address found, for 200 probes towards dest.
std::string probe(const char *dest, uint32_t *local)
{
    testing::internal::CaptureStdout();
    bool found = false;
    for (int i = 0; i < 200; ++i)
        found = getBestInterfaceAddress(inet_addr(dest), local) || found;
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    return (found ? "found " : "none ") + out.substr(0, out.find("Sock port      : "));
}

typedef IsolatedNetwork Transport;

TEST_F(Transport, EndpointAndProbeLeaveNoDescriptorOpen)
{
    const int before = openDescriptors();
    int s = getUdpSocket(true, 0, 0x10000 + 5353);  // only the low 16 bits count
    ASSERT_GE(s, 0);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(s, reinterpret_cast<sockaddr *>(&local), &len);
    EXPECT_EQ(ntohs(local.sin_port), 5353);
    EXPECT_EQ(getUdpSocket(true, 0, 5353), -1) << "port in use";
    closeUdpSocket(s, true);

    uint32_t ip;
    writeResolvConf("nameserver 192.0.2.1\n");
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(getCurrentDns(&ip));
    probe("192.0.2.1", &ip);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(Transport, RouteProbeFindsTheLocalAddressOrLeavesIt)
{
    ASSERT_EQ(system("ip addr add 198.51.100.7/32 dev lo && "
                     "ip route add 203.0.113.0/24 dev lo src 198.51.100.7"), 0);
    uint32_t local = 12345;
    EXPECT_EQ(probe("192.0.2.1", &local), "none rc=-1\nrc=0\nSock IP address: 0.0.0.0\n");
    EXPECT_EQ(local, 12345u);
    EXPECT_EQ(probe("203.0.113.9", &local), "found rc=0\nrc=0\nSock IP address: 198.51.100.7\n");
    EXPECT_EQ(local, inet_addr("198.51.100.7"));
}

} // namespace
