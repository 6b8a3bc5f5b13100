#include "modScanTrigger.h"

#include "platform/clock.h"

namespace tarvex {

bool ScanTrigger::note(uint32_t now)
{
    if (pending_)
        return false;
    pending_ = true;
    since_ = now;
    return true;
}

uint32_t ScanTrigger::dueInMs(uint32_t now) const
{
    if (!pending_)
        return 0;
    const uint32_t waited = elapsedMs(since_, now);
    return waited >= windowMs_ ? 0 : windowMs_ - waited;
}

bool ScanTrigger::take(uint32_t now)
{
    if (!pending_ || elapsedMs(since_, now) < windowMs_)
        return false;
    pending_ = false;
    return true;
}

} // namespace tarvex
