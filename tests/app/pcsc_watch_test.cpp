// The PC/SC reader watch against a scripted service: which service events
// count as a change, and that stopping the watch ends a wait at once.
#include "platform/device_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

using namespace tarvex;
using namespace std::chrono_literals;

namespace {

// The service's answers to the watch, handed out one at a time by the test.
// A status-change wait blocks until the test releases an answer or the
// context is cancelled.
class ScriptedService final : public pcsc::Api {
public:
    struct Shared {
        std::mutex m;
        std::condition_variable cv;
        bool up = true;
        std::deque<pcsc::Result> waits; // answers for the blocking waits
        bool cancelled = false;
        bool cancelWorks = true; // pcsc-lite: a cancel before the wait begins is lost
        int contexts = 0, released = 0;
        std::string reader;
    };
    explicit ScriptedService(Shared& s) : s_(s) { }

    pcsc::Result establishContext(uint32_t, pcsc::Context* ctx) override
    {
        std::lock_guard lock(s_.m);
        if (!s_.up)
            return pcsc::E_NO_SERVICE;
        *ctx = pcsc::Context(++s_.contexts);
        return pcsc::S_SUCCESS;
    }
    pcsc::Result releaseContext(pcsc::Context) override
    {
        std::lock_guard lock(s_.m);
        ++s_.released;
        return 0;
    }
    pcsc::Result getStatusChange(pcsc::Context, uint32_t timeoutMs, pcsc::ReaderState* st, uint32_t n) override
    {
        std::unique_lock lock(s_.m);
        if (n != 1)
            return pcsc::E_INVALID_PARAMETER;
        s_.reader = st->reader;
        if (timeoutMs == 0) { // the first look: two readers, no change pending
            st->eventState = (2u << 16) | pcsc::STATE_CHANGED;
            return pcsc::S_SUCCESS;
        }
        if (!s_.cv.wait_for(
                lock, std::chrono::milliseconds(timeoutMs), [&] { return s_.cancelled || !s_.waits.empty(); }))
            return pcsc::E_TIMEOUT;
        if (s_.cancelled)
            return pcsc::E_CANCELLED;
        const pcsc::Result r = s_.waits.front();
        s_.waits.pop_front();
        st->eventState = st->currentState ^ ((1u << 16) | pcsc::STATE_CHANGED);
        return r;
    }
    pcsc::Result cancel(pcsc::Context) override
    {
        std::lock_guard lock(s_.m);
        if (!s_.cancelWorks)
            return 0;
        s_.cancelled = true;
        s_.cv.notify_all();
        return 0;
    }
    pcsc::Result listReaders(pcsc::Context, char*, uint32_t*) override { return pcsc::E_NO_READERS_AVAILABLE; }
    pcsc::Result connect(pcsc::Context, const char*, uint32_t, uint32_t, pcsc::Card*, uint32_t*) override
    {
        return pcsc::E_NO_SERVICE;
    }
    pcsc::Result status(pcsc::Card, uint32_t*, uint32_t*, uint8_t*, uint32_t*) override { return pcsc::E_NO_SERVICE; }
    pcsc::Result beginTransaction(pcsc::Card) override { return pcsc::E_NO_SERVICE; }
    pcsc::Result transmit(pcsc::Card, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) override
    {
        return pcsc::E_NO_SERVICE;
    }
    pcsc::Result endTransaction(pcsc::Card, uint32_t) override { return pcsc::E_NO_SERVICE; }
    pcsc::Result disconnect(pcsc::Card, uint32_t) override { return pcsc::E_NO_SERVICE; }
    uint32_t protocolRaw() const override { return 4; }

private:
    Shared& s_;
};

bool eventually(const std::function<bool()>& done)
{
    for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;) {
        if (done())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

} // namespace

TEST(PcscReaderWatch, ReaderChangesAndTheServiceComingAndGoingCount)
{
    ScriptedService::Shared s;
    std::atomic<int> changes{0};
    auto watch = watchPcscReaders(
        std::make_unique<ScriptedService>(s), [&] { ++changes; }, 5ms);
    ASSERT_TRUE(watch);
    auto release = [&](pcsc::Result r) {
        std::lock_guard lock(s.m);
        s.waits.push_back(r);
        s.cv.notify_all();
    };
    ASSERT_TRUE(eventually([&] {
        std::lock_guard l(s.m);
        return !s.reader.empty();
    }));
    EXPECT_EQ(s.reader, "\\\\?PnP?\\Notification");
    EXPECT_EQ(changes, 0); // a service that is there from the start is no change

    release(pcsc::S_SUCCESS); // a reader came
    ASSERT_TRUE(eventually([&] { return changes == 1; }));
    release(pcsc::E_TIMEOUT); // nothing happened
    release(pcsc::S_SUCCESS); // a reader went
    ASSERT_TRUE(eventually([&] { return changes == 2; }));

    { // the service stops: its readers are gone with it
        std::lock_guard lock(s.m);
        s.up = false;
        s.waits.push_back(pcsc::E_SERVICE_STOPPED);
        s.cv.notify_all();
    }
    ASSERT_TRUE(eventually([&] { return changes == 3; }));
    std::this_thread::sleep_for(30ms); // several failed looks for it: no more changes
    EXPECT_EQ(changes, 3);
    { // and starts again
        std::lock_guard lock(s.m);
        s.up = true;
    }
    ASSERT_TRUE(eventually([&] { return changes == 4; }));
    EXPECT_TRUE(eventually([&] {
        std::lock_guard l(s.m);
        return s.contexts == 2 && s.released == 1;
    }));

    // Stopping ends the blocking wait and releases the context.
    const auto t0 = std::chrono::steady_clock::now();
    watch.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_TRUE(s.cancelled);
    EXPECT_EQ(s.released, 2);
    EXPECT_EQ(changes, 4);
}

TEST(PcscReaderWatch, ServiceMissingAtStartCountsWhenItComes)
{
    ScriptedService::Shared s;
    s.up = false;
    std::atomic<int> changes{0};
    auto watch = watchPcscReaders(
        std::make_unique<ScriptedService>(s), [&] { ++changes; }, 5ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(changes, 0);
    {
        std::lock_guard lock(s.m);
        s.up = true;
    }
    EXPECT_TRUE(eventually([&] { return changes == 1; }));
}

TEST(PcscReaderWatch, StopsAlsoWhenTheCancelMissesTheWait)
{
    ScriptedService::Shared s;
    s.cancelWorks = false;
    auto watch = watchPcscReaders(
        std::make_unique<ScriptedService>(s), [] {}, 5ms);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard l(s.m);
        return !s.reader.empty();
    }));
    const auto t0 = std::chrono::steady_clock::now();
    watch.reset(); // one bounded wait at the most
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
}
