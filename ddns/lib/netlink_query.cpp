#include "netlink_query.h"

#include "deadline.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

bool askKernel(const void *request, size_t size, const std::function<void(const nlmsghdr *)> &each)
{
    const int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0)
        return false;
    const timeval patience = {KERNEL_ANSWER_SECONDS, 0};  // never hang on the kernel
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    if (send(s, request, size, 0) < 0) {
        close(s);
        return false;
    }
    const bool dump = (static_cast<const nlmsghdr *>(request)->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    alignas(nlmsghdr) char buf[32768];  // the largest part of a dump the kernel sends at once
    // Each read waits a second at most, and the whole answer too.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(KERNEL_ANSWER_SECONDS);
    for (bool done = false; !done && Clock::now() < deadline;) {
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        const size_t got = static_cast<size_t>(n);
        for (size_t at = 0; !done && at + sizeof(nlmsghdr) <= got;) {
            const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buf + at);
            if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > got - at)
                break;  // a message cut short: the rest of this read is not trusted
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR)
                done = true;
            else
                each(h);
            at += NLMSG_ALIGN(h->nlmsg_len);
        }
        done = done || !dump;  // a plain request has a single answer
    }
    close(s);
    return true;
}

bool dumpAddresses(unsigned char family, const std::function<void(const nlmsghdr *)> &each)
{
    struct {
        nlmsghdr header;
        ifaddrmsg body;
    } request;
    prepareRequest(request, RTM_GETADDR, NLM_F_DUMP);
    request.body.ifa_family = family;
    return askKernel(&request, sizeof request, [&each](const nlmsghdr *h) {
        if (h->nlmsg_type == RTM_NEWADDR)
            each(h);
    });
}
