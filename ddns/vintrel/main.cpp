#include <sys/prctl.h>
#include <unistd.h>

#include "journal_text.h"
#include "vintrel.h"

int main(int argc, char **argv)
{
    // Before the password is read: no core file, and no other process of
    // the same user reading it from /proc (memory, command line, environment).
    prctl(PR_SET_DUMPABLE, 0);
    // Under systemd the journal reads the messages: it wants UTF-8.
    utf8WhenJournal(&stdout, STDOUT_FILENO);
    utf8WhenJournal(&stderr, STDERR_FILENO);
    Settings st;
    int status = parseCommandLine(argc, argv, st);
    if (status != KEEP_GOING)
        return status;
    return st.watchSeconds != 0 ? runWatch(st) : runQuery(st);
}
