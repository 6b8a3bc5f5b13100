// When the tool runs scan cycles. The window has its 2000 ms timer and the
// device watches' events; a console program has neither an event loop nor
// a timer, so this driver plays both: it runs a cycle when the tick is due
// or a burst of device events has settled, from the core's yields while a
// workflow waits and from the tool's own waits in between.
#pragma once
#include "core/reader_core.h"
#include "modScanTrigger.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tarvexctl {

// Device notices from the watches' threads, and the wait that they cut
// short. Tests replace wait() with one on their fake clock.
class DeviceEvents {
public:
    virtual ~DeviceEvents() = default;
    // From any thread.
    void notify();
    // Whether a notice came since the last take.
    bool take() { return pending_.exchange(false); }
    // Returns after `ms`, or earlier when a notice comes.
    virtual void wait(tarvex::Clock& clock, uint32_t ms);

private:
    std::atomic<bool> pending_{false};
    std::mutex m_;
    std::condition_variable cv_;
};

class ScanDriver {
public:
    // The window's tick, and how long the events of one plug take to arrive.
    static constexpr uint32_t kTickMs = 2000;
    static constexpr uint32_t kBurstMs = 50;

    ScanDriver(tarvex::ReaderCore& core, tarvex::Clock& clock, DeviceEvents& events);

    // A cycle now, unless one is running already. `force` checks the
    // refresh box first: the tool's own cycles always look; those served
    // inside a workflow leave the box to the core, as the window's do.
    void cycleNow(bool force);
    // A cycle if the tick or an event burst is due.
    void serve(bool force);
    // Waits `ms`, serving cycles meanwhile.
    void idle(uint32_t ms, bool force);
    // Cycles (forced) until `done` holds after one, or `limitMs` has passed;
    // `pollMs` is the tick meanwhile. `waiting` hears the elapsed time
    // between cycles (for progress). True when `done` held.
    bool waitUntil(const std::function<bool()>& done, uint32_t limitMs, uint32_t pollMs,
        const std::function<void(uint32_t elapsedMs)>& waiting = {});

    // Called after each cycle this driver ran.
    void setAfterCycle(std::function<void()> f) { afterCycle_ = std::move(f); }
    void setTickMs(uint32_t ms) { tickMs_ = ms; }
    uint32_t tickMs() const { return tickMs_; }
    // Cycles that ran, and ticks served (a tick with the box clear runs none).
    uint64_t cycles() const { return cycles_; }
    uint64_t served() const { return served_; }
    // Whether one of this driver's cycles is running now.
    bool inCycle() const { return inCycle_; }

private:
    uint32_t dueInMs(uint32_t now) const;

    tarvex::ReaderCore& core_;
    tarvex::Clock& clock_;
    DeviceEvents& events_;
    tarvex::ScanTrigger trigger_{kBurstMs};
    uint32_t tickMs_ = kTickMs;
    uint32_t lastCycle_ = 0;
    uint64_t cycles_ = 0;
    uint64_t served_ = 0;
    bool inCycle_ = false;
    std::function<void()> afterCycle_;
};

} // namespace tarvexctl
