// System clock on POSIX: CLOCK_MONOTONIC, so a change of the wall clock
// never stretches or cuts a wait.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace tarvex {

namespace {

class PosixClock final : public Clock {
public:
    uint32_t tickMs() override
    {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        // Truncated to 32 bits on purpose: callers difference in uint32.
        const uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
        return uint32_t(ms);
    }
    void sleepMs(uint32_t ms) override
    {
        timespec req{time_t(ms / 1000u), long(ms % 1000u) * 1000000L};
        timespec rem{};
        // A signal must not shorten the pause: sleep out the remainder.
        while (nanosleep(&req, &rem) != 0 && errno == EINTR)
            req = rem;
    }
};

} // namespace

Clock& systemClock()
{
    static PosixClock clock;
    return clock;
}

} // namespace tarvex
