// Behind NAT, when the public address is to be looked at again. The plan
// of checks is plain decisions on its state and the time it is given
// (milliseconds on the watcher's clock): nothing here reads a clock or
// does I/O, so a test replays events on a clock of its own.
#ifndef VINTREL_PUBLIC_CHECK_H
#define VINTREL_PUBLIC_CHECK_H

#include "ipv4_path.h"
#include "public_address.h"

// A failure is tried again after 10 s, then twice as late each time.
const long long FIRST_RETRY_S = 10;
// A burst of announcements settles after this much quiet, and a burst of
// anything after this long at most.
const long long ANNOUNCE_QUIET_MS = 250;
const long long SETTLE_CAP_MS = 1000;
// Never more than one check a second, whatever arrives on the LAN.
const long long CHECK_SPACING_MS = 1000;
// Checks every -c seconds (default 60); while the gateway answers NAT-PMP
// its announcements do the work, and a check every 10 minutes (or -c, when
// longer) is only a safety net.
const long long DEFAULT_CHECK_S = 60;
const long long SAFETY_NET_CHECK_S = 600;

// A burst of wake-ups (kernel events, announcements): it has settled after
// `quiet` ms without one, or `cap` ms after its first.
struct Burst {
    long long first = 0, last = 0;  // 0: none waiting

    bool waiting() const { return first != 0; }
    void note(long long now)
    {
        if (first == 0)
            first = now;
        last = now;
    }
    long long settlesAt(long long quiet, long long cap) const;
};

// The waits after failures in a row: FIRST_RETRY_S, then twice as long
// each time, up to a cap.
class Backoff {
public:
    // Milliseconds to wait now; the next wait doubles, up to capS seconds.
    long long nextMs(long long capS);
    void reset() { delayS = FIRST_RETRY_S; }

private:
    long long delayS = FIRST_RETRY_S;
};

class PublicCheck {
public:
    // askedPeriodS: -c, or 0 for the default.
    explicit PublicCheck(long long askedPeriodS) : askedPeriodS(askedPeriodS) {}

    bool behindNat() const { return behind; }
    const PublicView &learned() const { return view; }
    // When the next check may start; LLONG_MAX while none is wanted.
    long long dueAt(long long now) const;
    // Whether an attempt starting now learns the address first (unless a
    // check has just done so).
    bool attemptLearns(long long now) const;

    // What -a auto found after an attempt or a burst of kernel events:
    // entering NAT plans the first check, leaving it drops what waits.
    void setBehindNat(bool behindNat, long long now);
    // The IPv4 path towards the server after an attempt (the baseline).
    void pathSeen(const Ipv4Path &now) { path = now; }
    // After a burst of kernel events: a check when the path changed.
    void eventsSettled(const Ipv4Path &now);
    // The gateway announced: a check once the burst is over.
    void announcement(long long now);
    // A check began; or could not (no process): tried again later.
    void checkStarted(long long now);
    void checkNotStarted(long long now);
    // An attempt began that learns the address itself.
    void attemptLearning(long long now) { lastStartedAt = now; }
    // A check or an attempt learned the address; true when it is worth a
    // line (another address, or the first after failures).
    bool learnedView(const PublicView &seen, long long now);
    // A check learned nothing; true for the first such in a row.
    bool learnedNothing(long long now);

private:
    long long periodS() const;

    long long askedPeriodS;
    bool behind = false;
    PublicView view;            // the last address learned
    long long learnedAt = 0;
    bool failing = false;       // the last check learned nothing
    long long plannedAt = 0;    // the next periodic check or retry; 0: none
    long long lastStartedAt = 0;
    Burst announced;            // announcements waiting to settle
    bool pathChanged = false;   // kernel events: look again
    Ipv4Path path;
    Backoff retry;
};

#endif
