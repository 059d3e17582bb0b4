#include <sys/prctl.h>

#include "vintrel.h"

int main(int argc, char **argv)
{
    // Before the password is read: no core file, and no other process of
    // the same user reading it from /proc (memory, command line, environment).
    prctl(PR_SET_DUMPABLE, 0);
    Settings st;
    int status = parseCommandLine(argc, argv, st);
    if (status != KEEP_GOING)
        return status;
    return st.watchSeconds != 0 ? runWatch(st) : runQuery(st);
}
