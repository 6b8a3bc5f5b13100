// The PC/SC reader watch: one thread that waits on the service's
// "\\?PnP?\Notification" pseudo reader, re-establishing its context whenever
// the service goes away and comes back.
#include "platform/device_watch.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace tarvex {
namespace {

constexpr uint32_t kWaitMs = 1000;

class PcscReaderWatch final : public DeviceWatch {
public:
    PcscReaderWatch(std::unique_ptr<pcsc::Api> api, DeviceChanged changed, std::chrono::milliseconds retry)
        : api_(std::move(api)), changed_(std::move(changed)), retry_(retry)
    {
        thread_ = std::thread([this] { run(); });
    }

    ~PcscReaderWatch() override
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

private:
    void run()
    {
        // The service being there (or not) at the first look is no change.
        bool firstLook = true;
        bool serviceSeen = false;
        for (;;) {
            pcsc::Context ctx = 0;
            const bool up = api_->establishContext(pcsc::SCOPE_SYSTEM, &ctx) == pcsc::S_SUCCESS;
            if (up && !serviceSeen && !firstLook)
                changed_();
            firstLook = false;
            serviceSeen = up;
            if (up) {
                {
                    std::lock_guard lock(m_);
                    if (stop_) {
                        api_->releaseContext(ctx);
                        return;
                    }
                    ctx_ = ctx;
                }
                const bool serviceLost = waitForChanges(ctx);
                {
                    std::lock_guard lock(m_);
                    ctx_ = 0;
                }
                api_->releaseContext(ctx);
                if (serviceLost) {
                    serviceSeen = false;
                    changed_(); // its readers are gone with it
                }
            }
            std::unique_lock lock(m_);
            if (cv_.wait_for(lock, retry_, [this] { return stop_; }))
                return;
        }
    }

    // Until the context stops working. True when the service went away (as
    // opposed to the watch being stopped or the wait being unsupported).
    bool waitForChanges(pcsc::Context ctx)
    {
        pcsc::ReaderState pnp;
        pnp.reader = pcsc::kPnpNotification;
        // The first answer only tells the present state.
        pcsc::Result rv = api_->getStatusChange(ctx, 0, &pnp, 1);
        if (rv != pcsc::S_SUCCESS && rv != pcsc::E_TIMEOUT)
            return lost(rv);
        pnp.currentState = pnp.eventState & ~pcsc::STATE_CHANGED;
        for (;;) {
            // Bounded waits: a cancel that comes just before a wait begins
            // does not end that wait, so the stop flag is looked at between
            // waits as well.
            rv = api_->getStatusChange(ctx, kWaitMs, &pnp, 1);
            if (rv == pcsc::E_TIMEOUT) {
                std::lock_guard lock(m_);
                if (stop_)
                    return false;
                continue;
            }
            if (rv != pcsc::S_SUCCESS)
                return lost(rv);
            if (pnp.eventState & pcsc::STATE_CHANGED)
                changed_();
            pnp.currentState = pnp.eventState & ~pcsc::STATE_CHANGED;
        }
    }

    bool lost(pcsc::Result rv) const
    {
        return rv == pcsc::E_NO_SERVICE || rv == pcsc::E_SERVICE_STOPPED || rv == pcsc::E_INVALID_HANDLE;
    }

    std::unique_ptr<pcsc::Api> api_;
    DeviceChanged changed_;
    // The service starts when a reader is plugged (Windows) or by socket
    // activation (Linux). Looking for it is one failed connect to a socket
    // or service that is not there, cheap enough to do four times a second,
    // which keeps a reader's arrival well inside what a user notices.
    const std::chrono::milliseconds retry_;
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    pcsc::Context ctx_ = 0; // the context being waited on, for cancel()
    std::thread thread_;
};

} // namespace

std::unique_ptr<DeviceWatch> watchPcscReaders(
    std::unique_ptr<pcsc::Api> api, DeviceChanged changed, std::chrono::milliseconds serviceRetry)
{
    if (!api || !changed)
        return nullptr;
    try {
        return std::make_unique<PcscReaderWatch>(std::move(api), std::move(changed), serviceRetry);
    } catch (const std::system_error&) {
        return nullptr; // no thread: the tick alone finds readers
    }
}

} // namespace tarvex
