#include "query_id.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

// The kernel's random bytes: getrandom without waiting for the pool (early
// in a boot it may not be ready), else /dev/urandom, which never waits.
bool kernelRandom(void *buf, size_t size)
{
    ssize_t n;
    do {
        n = getrandom(buf, size, GRND_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(size))
        return true;
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    n = read(fd, buf, size);
    close(fd);
    return n == static_cast<ssize_t>(size);
}

uint64_t nanoseconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The splitmix64 finaliser: every input bit reaches every output bit.
uint64_t mix(uint64_t x)
{
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

} // namespace

uint16_t fallbackQueryId()
{
    static uint64_t counter = 0;
    int onStack = 0;
    uint64_t x = mix(nanoseconds(CLOCK_REALTIME) ^ mix(++counter));
    x = mix(x ^ nanoseconds(CLOCK_MONOTONIC) ^ (static_cast<uint64_t>(getpid()) << 32));
    x = mix(x ^ reinterpret_cast<uintptr_t>(&onStack));
    static uint16_t last = 0;
    uint16_t id = static_cast<uint16_t>(x ^ (x >> 16) ^ (x >> 32) ^ (x >> 48));
    if (id == last)
        id = static_cast<uint16_t>(id + 1);
    last = id;
    return id;
}

uint16_t newQueryId()
{
    uint16_t id;
    return kernelRandom(&id, sizeof id) ? id : fallbackQueryId();
}
