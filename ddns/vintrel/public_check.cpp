#include "public_check.h"

#include <algorithm>
#include <climits>

long long Burst::settlesAt(long long quiet, long long cap) const { return std::min(last + quiet, first + cap); }

long long Backoff::nextMs(long long capS)
{
    const long long wait = delayS;
    delayS = std::min(delayS * 2, capS);
    return wait * 1000;
}

long long PublicCheck::periodS() const
{
    const long long asked = askedPeriodS != 0 ? askedPeriodS : DEFAULT_CHECK_S;
    return view.source == PublicSource::Gateway ? std::max(asked, SAFETY_NET_CHECK_S) : asked;
}

long long PublicCheck::dueAt(long long now) const
{
    if (!behind)
        return LLONG_MAX;
    long long due = plannedAt != 0 ? plannedAt : LLONG_MAX;
    if (pathChanged)
        due = now;
    if (announced.waiting())
        due = std::min(due, announced.settlesAt(ANNOUNCE_QUIET_MS, SETTLE_CAP_MS));
    // However many reasons arrive, checks stay a second apart.
    return due == LLONG_MAX ? due : std::max(due, lastStartedAt + CHECK_SPACING_MS);
}

bool PublicCheck::attemptLearns(long long now) const
{
    return view.address == 0 || now - learnedAt >= CHECK_SPACING_MS;
}

void PublicCheck::setBehindNat(bool behindNat, long long now)
{
    if (behindNat && !behind)
        plannedAt = now + periodS() * 1000;
    if (!behindNat) {
        plannedAt = 0;
        announced = Burst();
        pathChanged = false;
    }
    behind = behindNat;
}

void PublicCheck::eventsSettled(const Ipv4Path &now)
{
    pathChanged = behind && now != path;
    path = now;
}

void PublicCheck::announcement(long long now)
{
    if (behind)
        announced.note(now);
}

void PublicCheck::checkStarted(long long now)
{
    announced = Burst();
    pathChanged = false;
    lastStartedAt = now;
    plannedAt = 0;
}

void PublicCheck::checkNotStarted(long long now) { plannedAt = now + FIRST_RETRY_S * 1000; }

bool PublicCheck::learnedView(const PublicView &seen, long long now)
{
    const bool news = seen.address != view.address || failing;
    view = seen;
    learnedAt = now;
    failing = false;
    retry.reset();
    plannedAt = now + periodS() * 1000;
    return news;
}

bool PublicCheck::learnedNothing(long long now)
{
    const bool first = !failing;
    failing = true;
    plannedAt = now + retry.nextMs(periodS());
    return first;
}
