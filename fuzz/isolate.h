// Puts a fuzz target in a network and mount namespace of its own (loopback
// only, up), so that it may bind port 53 and cover /etc/resolv.conf without
// touching the machine.
#ifndef VINTREL_FUZZ_ISOLATE_H
#define VINTREL_FUZZ_ISOLATE_H

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

inline bool writeFile(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY);
    bool ok = fd >= 0 && write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
    if (fd >= 0)
        close(fd);
    return ok;
}

inline bool enterOwnNamespaces()
{
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        char map[64];
        snprintf(map, sizeof map, "0 %d 1", static_cast<int>(getuid()));
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0 ||
            !writeFile("/proc/self/setgroups", "deny") || !writeFile("/proc/self/uid_map", map))
            return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq lo;
    memset(&lo, 0, sizeof lo);
    strcpy(lo.ifr_name, "lo");
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &lo) == 0;
    lo.ifr_flags |= IFF_UP;
    up = up && ioctl(s, SIOCSIFFLAGS, &lo) == 0;
    if (s >= 0)
        close(s);
    return up;
}

// Isolates the process or ends it: a target that cannot be isolated must not run.
inline void isolateOrExit()
{
    if (!enterOwnNamespaces()) {
        fprintf(stderr, "cannot enter a private network namespace; not running\n");
        _exit(77);
    }
}

#endif
