// The clock of every deadline of the transports, and waits that never pass
// them.
#ifndef VINTREL_DEADLINE_H
#define VINTREL_DEADLINE_H

#include <algorithm>
#include <chrono>

// The clock of every deadline of the transports.
typedef std::chrono::steady_clock Clock;

// Milliseconds for poll(2) until deadline, at most cap, rounded up so that
// a wait never ends just before the deadline; 0 once it has passed.
inline int pollTimeout(Clock::time_point deadline, Clock::duration cap)
{
    using std::chrono::milliseconds;
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const long long ms = std::chrono::duration_cast<milliseconds>(left).count() + 1;
    return static_cast<int>(std::min<long long>(ms, std::chrono::duration_cast<milliseconds>(cap).count()));
}

#endif
