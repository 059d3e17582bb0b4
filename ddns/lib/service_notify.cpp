#include "service_notify.h"

#include "journal_text.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

bool notifyServiceManager(const std::string &latin1State)
{
    // The protocol is UTF-8 text; the tool's messages are ISO-8859-1.
    const std::string state = latin1ToUtf8(latin1State.data(), latin1State.size());
    const char *path = getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return false;
    sockaddr_un to;
    memset(&to, 0, sizeof to);
    to.sun_family = AF_UNIX;
    const size_t length = strlen(path);
    if (length >= sizeof to.sun_path)
        return false;
    memcpy(to.sun_path, path, length);
    if (to.sun_path[0] == '@')
        to.sun_path[0] = '\0';  // an abstract socket
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const bool sent = sendto(s, state.data(), state.size(), MSG_NOSIGNAL,
                             reinterpret_cast<sockaddr *>(&to), size) == static_cast<ssize_t>(state.size());
    close(s);
    return sent;
}

long long watchdogMicroseconds()
{
    const char *usec = getenv("WATCHDOG_USEC");
    const char *pid = getenv("WATCHDOG_PID");
    if (!usec || (pid && atoll(pid) != static_cast<long long>(getpid())))
        return 0;
    const long long value = atoll(usec);
    return value > 0 ? value : 0;
}
