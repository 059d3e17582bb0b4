// Prints its pid, a stack address and one fallback query identifier, for a
// test that runs it twice in pid namespaces of their own.
#include <unistd.h>

#include <cstdio>

#include "query_id.h"

int main()
{
    int onStack = 0;
    printf("%d %p %u\n", static_cast<int>(getpid()), static_cast<void *>(&onStack), fallbackQueryId());
    return 0;
}
