// Millisecond tick count and sleep, behind an interface so that tests can
// run the long waits (2000 ms ticks, reboot and reset pauses, reply
// time-outs) on a fake clock.
#pragma once
#include <cstdint>

namespace tarvex {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds from an arbitrary origin; wraps every 2^32 ms. Differences
    // are taken in unsigned 32-bit arithmetic so a wrap does no harm.
    virtual uint32_t tickMs() = 0;
    virtual void sleepMs(uint32_t ms) = 0;
};

// The operating system's monotonic clock.
Clock& systemClock();

inline uint32_t elapsedMs(uint32_t since, uint32_t now)
{
    return now - since;
}

} // namespace tarvex
