// The header recvmsg(2) fills in: where the sender's address, the data and
// the ancillary data go.
#ifndef VINTREL_SOCKET_MESSAGE_H
#define VINTREL_SOCKET_MESSAGE_H

#include <sys/socket.h>

#include <cstring>

inline msghdr messageHeader(void *name, socklen_t nameSize, iovec *data, void *control, size_t controlSize)
{
    msghdr header;
    memset(&header, 0, sizeof header);
    header.msg_name = name;
    header.msg_namelen = nameSize;
    header.msg_iov = data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = controlSize;
    return header;
}

#endif
