#include "address_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Room for a long burst (an interface going down takes its addresses and
// routes with it); the kernel caps it at net.core.rmem_max unless the
// process may force it.
const int RECEIVE_BUFFER = 4 * 1024 * 1024;
// Reads per call at most, so that a flood of events cannot hold the
// caller away from its signals and timers.
const int READS_PER_DRAIN = 1024;

} // namespace

int openAddressWatch()
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    const int size = RECEIVE_BUFFER;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_nl local;
    memset(&local, 0, sizeof local);
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool drainAddressWatch(int fd)
{
    char buf[8192];
    for (int reads = 0; reads < READS_PER_DRAIN; ++reads) {
        // A message, or ENOBUFS (the kernel dropped some): either way,
        // something may have changed. Only an empty queue ends the drain.
        if (recv(fd, buf, sizeof buf, 0) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return reads > 0;
    }
    return true;
}
