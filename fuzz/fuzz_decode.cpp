// Decodes an arbitrary datagram, lists every record it kept, then resets
// and destroys the message.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "DnsMessage.h"
#include "vintrel.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The listing goes to standard output; nobody needs to read it here.
    if (!freopen("/dev/null", "w", stdout))
        return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 600)
        return 0;
    for (bool ignoreUnknown : {false, true}) {
        DnsMessage msg;
        msg.decode(data, static_cast<int>(size), ignoreUnknown);
        printReply(msg);
        msg.reset();
    }
    return 0;
}
