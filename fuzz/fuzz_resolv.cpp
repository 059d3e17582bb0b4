// Arbitrary resolver configuration content, read by the configuration
// reader through a private /etc/resolv.conf (inside netns-run's namespace).
#include <sys/mount.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ddns_utils.h"

static char configPath[] = "/tmp/vintrel-fuzz-resolv-XXXXXX";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!getenv("VINTREL_IN_NETNS"))
        _exit(77);  // never cover the machine's own configuration
    close(mkstemp(configPath));
    if (mount(configPath, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
        _exit(77);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(configPath, "w");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
    Endpoint server;
    getCurrentDns(&server);
    Endpoint servers[MAX_NAME_SERVERS];
    getCurrentDns(servers, MAX_NAME_SERVERS);
    return 0;
}
