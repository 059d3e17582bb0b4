#include "watch_plan.h"

#include <algorithm>

Due WatchPlan::next(long long now) const
{
    const Due candidates[] = {
        {Work::Signal, signalWaiting ? 0 : LLONG_MAX},
        {Work::Settle, changes.waiting() ? changes.settlesAt(SETTLE_QUIET_MS, SETTLE_CAP_MS) : LLONG_MAX},
        {Work::Retry, retryAtMs != 0 ? retryAtMs : LLONG_MAX},
        {Work::Refresh, refreshAt},
        {Work::Check, check.dueAt(now)},
    };
    Due earliest;
    for (const Due &d : candidates) {
        if (d.at <= now)
            return d;
        if (d.at < earliest.at)
            earliest = d;
    }
    return earliest;
}

void WatchPlan::taken(Work work)
{
    if (work == Work::Signal)
        signalWaiting = false;
    else if (work == Work::Settle)
        changes = Burst();
    else if (work == Work::Retry)
        retryAtMs = 0;
}

void WatchPlan::attemptNotStarted(long long now)
{
    retryAtMs = now + FIRST_RETRY_S * 1000;
    // A due refresh waits with the retry, which does its work.
    refreshAt = std::max(refreshAt, retryAtMs);
}

void WatchPlan::attemptEnded(Outcome outcome, long long now)
{
    refreshAt = now + refreshS * 1000;
    if (outcome == Outcome::Registered) {
        retryAtMs = 0;
        retryBackoff.reset();
    } else if (outcome == Outcome::Failed) {
        retryAtMs = now + retryBackoff.nextMs(std::min(refreshS, LONGEST_RETRY_S));
    } else {
        retryAtMs = 0;  // a refusal waits for a change, the refresh or SIGHUP
    }
}
