// One question to the kernel's routing tables over rtnetlink, and its
// answer read message by message.
#ifndef VINTREL_NETLINK_QUERY_H
#define VINTREL_NETLINK_QUERY_H

#include <linux/netlink.h>

#include <cstddef>
#include <functional>

// Seconds the kernel is given to answer (it answers at once).
const int KERNEL_ANSWER_SECONDS = 1;

// Sends request (size bytes, a netlink message) and hands each message of
// the answer to each, until the end of a dump, an error message, or a
// second from the start. False when nothing could be asked.
bool askKernel(const void *request, size_t size, const std::function<void(const nlmsghdr *)> &each);

// The kernel's address table for family (AF_INET, AF_INET6), each address
// message handed to each.
bool dumpAddresses(unsigned char family, const std::function<void(const nlmsghdr *)> &each);

#endif
