// The wait for the driver to send what a write handed it, against a device
// that stops sending (a CDC endpoint that keeps NAKing, CTS held low). A pty
// always drains at once, so this process stands in for the driver: its own
// tcdrain, ioctl and clock_gettime come before the C library's for the
// library under test. The output queue can be held full, tcdrain then hangs
// as it would on such a device, and each look at the stuck queue moves the
// clock on, so the library's bound is reached without waiting for it
// (gtest's own timings show that clock too).
#include "pty_support.h"
#include "serchan.h"

#include <atomic>
#include <cstdarg>
#include <ctime>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>

namespace {

std::atomic<bool> g_stuck{false};     // the device takes no more bytes
std::atomic<int> g_queued{0};         // what the driver still holds
std::atomic<int> g_drainPerLook{0};   // bytes sent per look at the queue
std::atomic<long> g_clockOffsetMs{0}; // time that passed while looking
constexpr long kMsPerLook = 100;

template <class Fn> Fn next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int clock_gettime(clockid_t id, struct timespec* ts) noexcept
{
    static const auto real = next<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    const int r = real(id, ts);
    const long offset = g_clockOffsetMs.load();
    if (r == 0 && id == CLOCK_MONOTONIC && offset) {
        ts->tv_sec += offset / 1000;
        ts->tv_nsec += (offset % 1000) * 1000000L;
        if (ts->tv_nsec >= 1000000000L) {
            ts->tv_nsec -= 1000000000L;
            ++ts->tv_sec;
        }
    }
    return r;
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    static const auto real = next<int (*)(int, unsigned long, void*)>("ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == TIOCOUTQ && g_queued.load() > 0) {
        g_clockOffsetMs += kMsPerLook;
        if (!g_stuck)
            g_queued = std::max(0, g_queued.load() - g_drainPerLook.load());
        *static_cast<int*>(arg) = g_queued.load();
        return 0;
    }
    return real(fd, request, arg);
}

// Hangs while the device is stuck, as the real one would for ever; here it
// gives up after a few seconds so that a library without a bound fails the
// test instead of hanging it.
int tcdrain(int fd)
{
    static const auto real = next<int (*)(int)>("tcdrain");
    for (int i = 0; i < 300 && g_queued.load() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return real(fd);
}

} // extern "C"

namespace {

using ptys::Bytes;

const Bytes kApdu{0xFF, 0xCA, 0xF0, 0x00, 0x04};

class Drain : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.ok());
        ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
        ASSERT_EQ(SCOpenChannel(1, 115200, SC_OPT_NO_HANDSHAKE), 1);
    }
    void TearDown() override
    {
        g_queued = 0;
        g_stuck = false;
        SCCloseChannel(1);
    }

    // The device holds the whole frame once the write has handed it over.
    int32_t sendWhileTheDriverHolds(int queued, bool stuck, int drainPerLook)
    {
        g_stuck = stuck;
        g_drainPerLook = drainPerLook;
        g_queued = queued;
        const int32_t r = SCSend(0, kApdu.data(), static_cast<uint32_t>(kApdu.size()));
        g_queued = 0;
        return r;
    }

    ptys::DevDir dev;
    ptys::Pty pty;
};

TEST_F(Drain, DeviceThatStopsSendingFailsTheWrite)
{
    const long before = g_clockOffsetMs.load();
    EXPECT_EQ(sendWhileTheDriverHolds(9, true, 0), SC_ERR_PORT);
    EXPECT_LT(g_clockOffsetMs.load() - before, 60000) << "the wait is bounded";
}

// The bound is on a queue that does not move, not on the whole wait: a
// slow device that keeps sending is waited for.
TEST_F(Drain, SlowButMovingQueueIsWaitedFor)
{
    const long before = g_clockOffsetMs.load();
    EXPECT_EQ(sendWhileTheDriverHolds(200, false, 1), 9);
    EXPECT_GE(g_clockOffsetMs.load() - before, 10000) << "longer than the bound on a stuck queue";
    EXPECT_EQ(pty.read(9, 1000).size(), 9u);
}

} // namespace
