// One question to the kernel's routing tables over rtnetlink, and its
// answer read message by message.
#ifndef VINTREL_NETLINK_QUERY_H
#define VINTREL_NETLINK_QUERY_H

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

// Seconds the kernel is given to answer (it answers at once).
const int KERNEL_ANSWER_SECONDS = 1;

// Zeroes request (a struct that starts with its nlmsghdr `header`) and
// fills in that header: the whole struct, of type, a request with flags.
// Its answers come on a socket of its own, so no sequence number is needed.
template <typename Request> void prepareRequest(Request &request, uint16_t type, uint16_t flags = 0)
{
    memset(&request, 0, sizeof request);
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
}

// Sends request (size bytes, a netlink message) and hands each message of
// the answer to each, until the end of a dump, an error message, or a
// second from the start. False when nothing could be asked.
bool askKernel(const void *request, size_t size, const std::function<void(const nlmsghdr *)> &each);

// The kernel's address table for family (AF_INET, AF_INET6), each address
// message handed to each.
bool dumpAddresses(unsigned char family, const std::function<void(const nlmsghdr *)> &each);

#endif
