// What the watcher does next, and when. Like the plan of checks it holds,
// this is plain decisions on state and the time it is given (milliseconds
// on the watcher's clock): the watcher forks, polls and notifies, and a
// test replays events on a clock of its own.
#ifndef VINTREL_WATCH_PLAN_H
#define VINTREL_WATCH_PLAN_H

#include <climits>

#include "public_check.h"

// Events come in bursts (a new address brings its routes): wait for this
// much quiet, but never longer than SETTLE_CAP_MS after the first event.
const long long SETTLE_QUIET_MS = 300;
// A failed attempt is retried after FIRST_RETRY_S, then twice as late each
// time, up to the refresh period or 10 minutes.
const long long LONGEST_RETRY_S = 600;

// The work of a watch that waits while no child runs, in the order it is
// done when several are due.
enum class Work { Signal, Settle, Retry, Refresh, Check, Nothing };

struct Due {
    Work work = Work::Nothing;
    long long at = LLONG_MAX;
};

// How an attempt ended, as the watcher judged it.
enum class Outcome { Registered, Failed, Refused };

class WatchPlan {
public:
    // refreshS: -w; checkS: -c, or 0 for the default.
    WatchPlan(long long refreshS, long long checkS) : check(checkS), refreshS(refreshS) {}

    // The one list of timers: the work due now that comes first, else the
    // earliest to come; Nothing at LLONG_MAX when none waits.
    Due next(long long now) const;
    // The work next() gave is being done: what it answered is used up.
    void taken(Work work);

    void begin(long long now) { refreshAt = now + refreshS * 1000; }
    void signalled() { signalWaiting = true; }
    void kernelEvent(long long now) { changes.note(now); }
    // An attempt could not start (no pipe or process): again in a while.
    void attemptNotStarted(long long now);
    void attemptEnded(Outcome outcome, long long now);
    long long retryAt() const { return retryAtMs; }

    PublicCheck check;

private:
    long long refreshS;
    bool signalWaiting = false;
    Burst changes;  // kernel events waiting to settle
    long long refreshAt = 0;
    long long retryAtMs = 0;  // 0: none planned
    Backoff retryBackoff;
};

#endif
