// The PC/SC reader watch: one thread that waits on the service's
// "\\?PnP?\Notification" pseudo reader, re-establishing its context whenever
// the service goes away and comes back.
//
// A look that fails is followed by a longer pause each time (PcscWatchTiming
// says how long and why), so that a service which refuses this program, or
// cannot announce reader changes, is not asked the same thing four times a
// second for ever. Neither of those is a change: only the service becoming
// usable or going away, and the readers it announces, are.
#include "platform/device_watch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace tarvex {
namespace {

using std::chrono::milliseconds;

constexpr uint32_t kWaitMs = 1000;

// The service is not running (or there is no PC/SC library at all, which the
// bindings report the same way).
bool isAbsent(pcsc::Result rv)
{
    return rv == pcsc::E_NO_SERVICE || rv == pcsc::E_SERVICE_STOPPED;
}

// A context that stopped working because the service went away. pcsc-lite
// reports a daemon that hung up as a communications error.
bool isLost(pcsc::Result rv)
{
    return isAbsent(rv) || rv == pcsc::E_INVALID_HANDLE || rv == pcsc::F_COMM_ERROR;
}

// How a stretch of watching on one context ended.
enum class WaitEnd {
    Stopped,     // the watch is being destroyed
    ServiceLost, // the service went away, and its readers with it
    Unsupported, // the wait does not work on this service
};

class PcscReaderWatchThread final : public PcscReaderWatch {
public:
    PcscReaderWatchThread(std::unique_ptr<pcsc::Api> api, DeviceChanged changed, PcscWatchTiming timing)
        : api_(std::move(api)), changed_(std::move(changed)), timing_(std::move(timing))
    {
        thread_ = std::thread([this] { run(); });
    }

    ~PcscReaderWatchThread() override
    {
        {
            std::lock_guard lock(m_);
            stop_ = true;
            if (ctx_)
                api_->cancel(ctx_);
        }
        cv_.notify_all();
        thread_.join();
    }

    PcscWatchState state() const override { return state_.load(); }

private:
    void run()
    {
        // The service being there (or not) at the first look is no change.
        bool firstLook = true;
        bool usable = false; // a context could be established at the last look
        milliseconds pause = timing_.retry;
        for (;;) {
            pcsc::Context ctx = 0;
            const pcsc::Result rv = api_->establishContext(pcsc::SCOPE_SYSTEM, &ctx);
            const bool up = rv == pcsc::S_SUCCESS;
            // The service letting this program see its readers, or going
            // away with them. (A loss seen by the wait was told already.)
            if (up != usable && !firstLook)
                changed_();
            firstLook = false;
            usable = up;
            milliseconds limit = timing_.absentLimit;
            if (up) {
                {
                    std::lock_guard lock(m_);
                    if (stop_) {
                        api_->releaseContext(ctx);
                        return;
                    }
                    ctx_ = ctx;
                }
                bool waited = false;
                const WaitEnd end = waitForChanges(ctx, waited);
                {
                    std::lock_guard lock(m_);
                    ctx_ = 0;
                }
                api_->releaseContext(ctx);
                if (end == WaitEnd::Stopped)
                    return;
                // A wait that worked for a while starts the pauses afresh.
                if (waited)
                    pause = timing_.retry;
                if (end == WaitEnd::ServiceLost) {
                    usable = false;
                    state_ = PcscWatchState::Absent;
                    changed_(); // its readers are gone with it
                } else {
                    state_ = PcscWatchState::Unsupported;
                    limit = timing_.refusedLimit;
                }
            } else if (isAbsent(rv)) {
                state_ = PcscWatchState::Absent;
            } else {
                state_ = PcscWatchState::Refused;
                limit = timing_.refusedLimit;
            }
            const milliseconds now = std::min(pause, limit);
            pause = std::min(now * 2, limit);
            if (!pauseFor(now))
                return;
        }
    }

    // Until the context stops being useful. `waited` is set once a blocking
    // wait has answered as it should (a time-out or a change).
    WaitEnd waitForChanges(pcsc::Context ctx, bool& waited)
    {
        pcsc::ReaderState pnp;
        pnp.reader = pcsc::kPnpNotification;
        // The first answer only tells the present state.
        pcsc::Result rv = api_->getStatusChange(ctx, 0, &pnp, 1);
        if (rv != pcsc::S_SUCCESS && rv != pcsc::E_TIMEOUT)
            return failed(rv);
        state_ = PcscWatchState::Watching;
        pnp.currentState = pnp.eventState & ~pcsc::STATE_CHANGED;
        for (;;) {
            // Bounded waits: a cancel that comes just before a wait begins
            // does not end that wait, so the stop flag is looked at between
            // waits as well.
            rv = api_->getStatusChange(ctx, kWaitMs, &pnp, 1);
            if (rv == pcsc::E_TIMEOUT) {
                waited = true;
                std::lock_guard lock(m_);
                if (stop_)
                    return WaitEnd::Stopped;
                continue;
            }
            if (rv != pcsc::S_SUCCESS)
                return failed(rv);
            // A wait only ends early for a change. One that says otherwise
            // would have this loop spin, or report changes nobody made.
            if (!(pnp.eventState & pcsc::STATE_CHANGED))
                return WaitEnd::Unsupported;
            waited = true;
            changed_();
            pnp.currentState = pnp.eventState & ~pcsc::STATE_CHANGED;
        }
    }

    // Every other failure of the wait (not supported, the pseudo reader
    // unknown, ...) means this service cannot announce changes.
    WaitEnd failed(pcsc::Result rv)
    {
        std::lock_guard lock(m_);
        if (stop_)
            return WaitEnd::Stopped; // a cancel, or whatever the service said to one
        return isLost(rv) ? WaitEnd::ServiceLost : WaitEnd::Unsupported;
    }

    // False when the watch was stopped meanwhile.
    bool pauseFor(milliseconds d)
    {
        if (timing_.pause) {
            timing_.pause(d);
            std::lock_guard lock(m_);
            return !stop_;
        }
        std::unique_lock lock(m_);
        return !cv_.wait_for(lock, d, [this] { return stop_; });
    }

    std::unique_ptr<pcsc::Api> api_;
    DeviceChanged changed_;
    const PcscWatchTiming timing_;
    std::atomic<PcscWatchState> state_{PcscWatchState::Starting};
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    pcsc::Context ctx_ = 0; // the context being waited on, for cancel()
    std::thread thread_;
};

} // namespace

std::unique_ptr<PcscReaderWatch> watchPcscReaders(
    std::unique_ptr<pcsc::Api> api, DeviceChanged changed, PcscWatchTiming timing)
{
    if (!api || !changed)
        return nullptr;
    try {
        return std::make_unique<PcscReaderWatchThread>(std::move(api), std::move(changed), std::move(timing));
    } catch (const std::system_error&) {
        return nullptr; // no thread: the tick alone finds readers
    }
}

} // namespace tarvex
