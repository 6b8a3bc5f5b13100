// System clock on Windows: the millisecond tick count and Sleep.
#include "platform/clock.h"

#include <windows.h>

namespace tarvex {

namespace {

class Win32Clock final : public Clock {
public:
    uint32_t tickMs() override { return uint32_t(GetTickCount()); }
    void sleepMs(uint32_t ms) override { Sleep(DWORD(ms)); }
};

} // namespace

Clock& systemClock()
{
    static Win32Clock clock;
    return clock;
}

} // namespace tarvex
