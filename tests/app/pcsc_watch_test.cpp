// The PC/SC reader watch against a scripted service: which service events
// count as a change, that stopping the watch ends a wait at once, and how
// long it pauses between looks at a service it cannot use (on recorded
// pauses, not the clock).
#include "platform/device_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace tarvex;
using namespace std::chrono_literals;

namespace tarvex {
void PrintTo(PcscWatchState s, std::ostream* os)
{
    const char* const names[] = {"Starting", "Watching", "Absent", "Refused", "Unsupported"};
    *os << names[int(s)];
}
} // namespace tarvex

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
        pcsc::Result down = pcsc::E_NO_SERVICE; // what establishing a context says while not up
        std::deque<pcsc::Result> waits;         // answers for the blocking waits
        // Instead of the script: what every wait answers at once, with no
        // change in the state; or a binding that lacks the call.
        std::optional<pcsc::Result> everyWait;
        bool noWaitCall = false;
        int looks = 0;
        bool cancelled = false;
        bool cancelWorks = true; // pcsc-lite: a cancel before the wait begins is lost
        int contexts = 0, released = 0;
        std::string reader;
    };
    explicit ScriptedService(Shared& s) : s_(s) { }

    pcsc::Result establishContext(uint32_t, pcsc::Context* ctx) override
    {
        std::lock_guard lock(s_.m);
        ++s_.looks;
        if (!s_.up)
            return s_.down;
        *ctx = pcsc::Context(++s_.contexts);
        return pcsc::S_SUCCESS;
    }
    pcsc::Result releaseContext(pcsc::Context) override
    {
        std::lock_guard lock(s_.m);
        ++s_.released;
        return 0;
    }
    pcsc::Result getStatusChange(pcsc::Context ctx, uint32_t timeoutMs, pcsc::ReaderState* st, uint32_t n) override
    {
        std::unique_lock lock(s_.m);
        if (s_.noWaitCall)
            return pcsc::Api::getStatusChange(ctx, timeoutMs, st, n);
        if (n != 1)
            return pcsc::E_INVALID_PARAMETER;
        s_.reader = st->reader;
        if (s_.everyWait) {
            st->eventState = st->currentState;
            return *s_.everyWait;
        }
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

// Short real pauses, for the tests that follow the service's events.
const PcscWatchTiming kQuick{.retry = 5ms, .absentLimit = 5ms, .refusedLimit = 5ms};

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
        std::make_unique<ScriptedService>(s), [&] { ++changes; }, kQuick);
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
        std::make_unique<ScriptedService>(s), [&] { ++changes; }, kQuick);
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
        std::make_unique<ScriptedService>(s), [] {}, kQuick);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard l(s.m);
        return !s.reader.empty();
    }));
    const auto t0 = std::chrono::steady_clock::now();
    watch.reset(); // one bounded wait at the most
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
}

namespace {

// The watch's pauses, recorded instead of slept. The watch is held in its
// pause number `hold` (counting from 1) until the test allows more, so that
// the test reads a settled record and can change the service meanwhile.
class RecordedPauses {
public:
    explicit RecordedPauses(size_t hold) : hold_(hold) { }
    std::function<void(std::chrono::milliseconds)> hook()
    {
        return [this](std::chrono::milliseconds d) {
            std::unique_lock lock(m_);
            seen_.push_back(d);
            cv_.notify_all();
            cv_.wait(lock, [&] { return released_ || seen_.size() < hold_; });
        };
    }
    // The pauses so far, once the watch is held (after 5 s, whatever it has).
    std::vector<std::chrono::milliseconds> held()
    {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, 5s, [&] { return seen_.size() >= hold_; });
        return seen_;
    }
    void allow(size_t hold)
    {
        std::lock_guard lock(m_);
        hold_ = hold;
        cv_.notify_all();
    }
    void release()
    {
        std::lock_guard lock(m_);
        released_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::chrono::milliseconds> seen_;
    size_t hold_;
    bool released_ = false;
};

// A watch with the production timing on recorded pauses. Let go before it
// is stopped, so that a failed assertion cannot leave it held.
struct PausedWatch {
    explicit PausedWatch(size_t hold) : pauses(hold) { }
    ~PausedWatch()
    {
        pauses.release();
        watch.reset();
    }
    void start()
    {
        PcscWatchTiming timing;
        timing.pause = pauses.hook();
        watch = watchPcscReaders(
            std::make_unique<ScriptedService>(s), [this] { ++changes; }, timing);
    }
    int looks()
    {
        std::lock_guard lock(s.m);
        return s.looks;
    }

    ScriptedService::Shared s;
    RecordedPauses pauses;
    std::atomic<int> changes{0};
    std::unique_ptr<PcscReaderWatch> watch;
};

std::vector<std::chrono::milliseconds> millis(std::initializer_list<int> ms)
{
    std::vector<std::chrono::milliseconds> v;
    for (int m : ms)
        v.emplace_back(m);
    return v;
}

} // namespace

// A service that cannot be used is looked at less and less often, up to every
// 30 s, while it refuses this program or cannot announce reader changes; one
// that is not running, which is cheap to find out and may start with the next
// reader, four times a second all along. None of that is a change.
TEST(PcscReaderWatch, ServiceThatCannotBeUsedIsLookedAtLessAndLessOften)
{
    enum class Wait { Scripted, Lacking, Every };
    struct Case {
        const char* what;
        bool up;
        pcsc::Result result; // of establishing a context (not up) or of every wait (Wait::Every)
        Wait wait;
        PcscWatchState state;
    };
    // An absent service is looked for at the same pace all along: it may
    // start with the next reader plugged in.
    const auto absent = millis({250, 250, 250, 250, 250, 250, 250, 250, 250, 250, 250, 250});
    const auto refused = millis({250, 500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000, 30000, 30000});
    const Case cases[] = {
        {"no service", false, pcsc::E_NO_SERVICE, Wait::Scripted, PcscWatchState::Absent},
        {"service stopped", false, pcsc::E_SERVICE_STOPPED, Wait::Scripted, PcscWatchState::Absent},
        // pcsc-lite's daemon asks polkit and hangs up on a client it refuses,
        // before the version handshake: the client reports a communications error.
        {"refused by polkit", false, pcsc::F_COMM_ERROR, Wait::Scripted, PcscWatchState::Refused},
        {"access denied", false, pcsc::E_NO_ACCESS, Wait::Scripted, PcscWatchState::Refused},
        {"security violation", false, pcsc::W_SECURITY_VIOLATION, Wait::Scripted, PcscWatchState::Refused},
        {"binding without the wait", true, 0, Wait::Lacking, PcscWatchState::Unsupported},
        {"wait unsupported (pcsc-lite's code)", true, pcsc::E_UNSUPPORTED_FEATURE_PCSCLITE, Wait::Every,
            PcscWatchState::Unsupported},
        {"wait unsupported (Windows's code)", true, pcsc::E_UNSUPPORTED_FEATURE, Wait::Every,
            PcscWatchState::Unsupported},
        {"pseudo reader unknown", true, pcsc::E_UNKNOWN_READER, Wait::Every, PcscWatchState::Unsupported},
        {"wait ends without a change", true, pcsc::S_SUCCESS, Wait::Every, PcscWatchState::Unsupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PausedWatch w(12);
        w.s.up = c.up;
        if (!c.up)
            w.s.down = c.result;
        w.s.noWaitCall = c.wait == Wait::Lacking;
        if (c.wait == Wait::Every)
            w.s.everyWait = c.result;
        w.start();
        ASSERT_TRUE(w.watch);
        EXPECT_EQ(w.pauses.held(), c.state == PcscWatchState::Absent ? absent : refused);
        EXPECT_EQ(w.looks(), 12); // one look per pause, none in between
        EXPECT_EQ(w.watch->state(), c.state);
        EXPECT_EQ(w.changes, 0);
        std::lock_guard lock(w.s.m);
        EXPECT_EQ(w.s.released, w.s.contexts); // every context given back
    }
}

TEST(PcscReaderWatch, RefusalLiftedCountsAndAServiceThatWorkedIsLookedForSoonAgain)
{
    PausedWatch w(3);
    w.s.up = false;
    w.s.down = pcsc::F_COMM_ERROR;
    w.start();
    ASSERT_TRUE(w.watch);
    EXPECT_EQ(w.pauses.held(), millis({250, 500, 1000}));
    EXPECT_EQ(w.watch->state(), PcscWatchState::Refused);
    EXPECT_EQ(w.changes, 0);

    { // the session became active: the service lets the program in
        std::lock_guard lock(w.s.m);
        w.s.up = true;
    }
    w.pauses.allow(6);
    ASSERT_TRUE(eventually([&] { return w.changes == 1; }));
    EXPECT_TRUE(eventually([&] { return w.watch->state() == PcscWatchState::Watching; }));
    { // a reader came
        std::lock_guard lock(w.s.m);
        w.s.waits.push_back(pcsc::S_SUCCESS);
        w.s.cv.notify_all();
    }
    ASSERT_TRUE(eventually([&] { return w.changes == 2; }));
    { // the service stops
        std::lock_guard lock(w.s.m);
        w.s.up = false;
        w.s.down = pcsc::E_NO_SERVICE;
        w.s.waits.push_back(pcsc::E_SERVICE_STOPPED);
        w.s.cv.notify_all();
    }
    // Gone, it is looked for four times a second, for the next reader.
    EXPECT_EQ(w.pauses.held(), millis({250, 500, 1000, 250, 250, 250}));
    EXPECT_EQ(w.watch->state(), PcscWatchState::Absent);
    EXPECT_EQ(w.changes, 3);
}
