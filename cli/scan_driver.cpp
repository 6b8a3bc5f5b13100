#include "scan_driver.h"

#include "interrupts.h"

#include <algorithm>
#include <chrono>

namespace tarvexctl {

using tarvex::elapsedMs;

void DeviceEvents::notify()
{
    {
        std::lock_guard<std::mutex> lock(m_);
        pending_ = true;
    }
    cv_.notify_all();
}

void DeviceEvents::wait(tarvex::Clock& clock, uint32_t ms)
{
    (void)clock;
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return pending_.load(); });
}

ScanDriver::ScanDriver(tarvex::ReaderCore& core, tarvex::Clock& clock, DeviceEvents& events)
    : core_(core), clock_(clock), events_(events), lastCycle_(clock.tickMs())
{
}

void ScanDriver::cycleNow(bool force)
{
    // A cycle yields, and yields serve: never one inside another.
    if (core_.scanRunning())
        return;
    lastCycle_ = clock_.tickMs();
    ++served_;
    // A forced look leaves the box as it found it: the workflow that runs
    // next sees the box the window would show, not one the tool checked.
    const bool checked = core_.refreshChecked();
    if (force)
        core_.setRefresh(true);
    // With the box clear the core skips the tick: no cycle ran, and what
    // waits for the next one must go on waiting.
    if (!core_.refreshChecked())
        return;
    inCycle_ = true;
    core_.tmrUpdates_Timer();
    inCycle_ = false;
    if (force && !checked)
        core_.setRefresh(false);
    ++cycles_;
    if (afterCycle_)
        afterCycle_();
}

uint32_t ScanDriver::dueInMs(uint32_t now) const
{
    const uint32_t sinceTick = elapsedMs(lastCycle_, now);
    uint32_t due = sinceTick >= tickMs_ ? 0 : tickMs_ - sinceTick;
    if (trigger_.pending())
        due = std::min(due, trigger_.dueInMs(now));
    return due;
}

void ScanDriver::serve(bool force)
{
    if (core_.scanRunning())
        return; // the notices wait for the running cycle's end
    const uint32_t now = clock_.tickMs();
    if (events_.take())
        trigger_.note(now);
    const bool burst = trigger_.take(now);
    if (burst || elapsedMs(lastCycle_, now) >= tickMs_)
        cycleNow(force);
}

void ScanDriver::idle(uint32_t ms, bool force)
{
    const uint32_t start = clock_.tickMs();
    for (;;) {
        serve(force);
        const uint32_t now = clock_.tickMs();
        const uint32_t spent = elapsedMs(start, now);
        // A stop request ends the tool's own waits early; inside a
        // workflow the core keeps its own time, so nothing is cut short.
        if (spent >= ms || interruptRequested())
            return;
        uint32_t next = std::min(ms - spent, dueInMs(now));
        // A notice that came during the cycle is noted at the next serve.
        events_.wait(clock_, std::max<uint32_t>(next, 1));
    }
}

bool ScanDriver::waitUntil(
    const std::function<bool()>& done, uint32_t limitMs, uint32_t pollMs, const std::function<void(uint32_t)>& waiting)
{
    const uint32_t saved = tickMs_;
    tickMs_ = pollMs;
    const uint32_t start = clock_.tickMs();
    cycleNow(true);
    bool result = false;
    for (;;) {
        if (done()) {
            result = true;
            break;
        }
        const uint32_t spent = elapsedMs(start, clock_.tickMs());
        if (spent >= limitMs || interruptRequested())
            break;
        if (waiting)
            waiting(spent);
        // Until the next cycle has run, or the limit.
        const uint64_t before = cycles_;
        const uint32_t t0 = clock_.tickMs();
        const uint32_t left = limitMs - spent;
        while (cycles_ == before && elapsedMs(t0, clock_.tickMs()) < left && !interruptRequested()) {
            serve(true);
            if (cycles_ != before)
                break;
            const uint32_t now = clock_.tickMs();
            const uint32_t gone = elapsedMs(t0, now);
            if (gone >= left)
                break;
            events_.wait(clock_, std::max<uint32_t>(1, std::min(left - gone, dueInMs(now))));
        }
    }
    tickMs_ = saved;
    return result;
}

} // namespace tarvexctl
