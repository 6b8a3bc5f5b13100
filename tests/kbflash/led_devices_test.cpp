// The pattern on keyboards whose LEDs are set one by one (the reader's event
// nodes): each device must see exactly what it would see alone, the pauses
// and output must happen once, and a stop puts every device back.
#include "led_devices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

using kbflash::Key;
using kbflash::Outcome;

const char* letter(Key k)
{
    return k == Key::Caps ? "C" : k == Key::Num ? "N" : "S";
}

// All calls of all devices and of the pacer go into one shared log:
// "d0:C1" (device 0 set Caps on), "z50", and output text as is.
struct SharedLog {
    std::vector<std::string> entries;
};

class FakeDevice : public kbflash::LedDevice {
public:
    FakeDevice(SharedLog& log, int id, std::array<bool, 3> start) : log_(log), id_(id), on(start) { }
    bool led(Key k) const override { return on[static_cast<int>(k)]; }
    void setLed(Key k, bool v) override
    {
        on[static_cast<int>(k)] = v;
        log_.entries.push_back("d" + std::to_string(id_) + ":" + letter(k) + (v ? "1" : "0"));
    }
    SharedLog& log_;
    int id_;
    std::array<bool, 3> on; // caps, num, scroll
};

class FakePacer : public kbflash::Pacer {
public:
    explicit FakePacer(SharedLog& log) : log_(log) { }
    bool sleepMs(unsigned ms) override
    {
        if (sleeps++ == stopAtSleep)
            return false;
        log_.entries.push_back("z" + std::to_string(ms));
        return true;
    }
    void write(std::string_view t) override { log_.entries.emplace_back(t); }
    SharedLog& log_;
    int sleeps = 0;
    int stopAtSleep = -1;
};

// What one device with this start must see, written out from the tool's
// description rather than from the code: clear what is on (Scroll, Caps,
// Num), all on, Scroll off, 100 Caps blinks, then back to the start.
std::vector<std::string> aloneRun(int id, std::array<bool, 3> start)
{
    const std::string d = "d" + std::to_string(id) + ":";
    std::array<bool, 3> s = start;
    std::vector<std::string> e{"Wait...\r\n"};
    auto set = [&](int k, bool v) {
        s[k] = v;
        e.push_back(d + (k == 0 ? "C" : k == 1 ? "N" : "S") + (v ? "1" : "0"));
    };
    if (start[2])
        set(2, false);
    if (start[0])
        set(0, false);
    if (start[1])
        set(1, false);
    e.push_back("z40");
    set(0, true);
    set(1, true);
    set(2, true);
    e.push_back("z40");
    set(2, false);
    for (int i = 0; i < 100; ++i) {
        e.push_back("z50");
        set(0, !s[0]);
    }
    if (start[2])
        set(2, true);
    if (!start[0])
        set(0, false);
    if (!start[1])
        set(1, false);
    e.push_back("OK.\r\n");
    return e;
}

std::vector<std::string> only(const std::vector<std::string>& log, const std::string& device)
{
    std::vector<std::string> out;
    for (const std::string& e : log)
        if (e.rfind("d", 0) != 0 || e.rfind(device, 0) == 0)
            out.push_back(e);
    return out;
}

TEST(KbflashLedDevices, OneDeviceSeesExactlyThePattern)
{
    for (int bits = 0; bits < 8; ++bits) {
        SCOPED_TRACE("start bits " + std::to_string(bits));
        const std::array<bool, 3> start{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
        SharedLog log;
        FakeDevice dev(log, 0, start);
        FakePacer pacer(log);
        EXPECT_EQ(kbflash::playPatternOn({&dev}, pacer), Outcome::Done);
        EXPECT_EQ(log.entries, aloneRun(0, start));
        EXPECT_EQ(dev.on, start);
    }
}

// Two interfaces that differ at the start: each gets its own clearing and
// restoring, the shared pauses come once, and between two pauses both
// devices get the same change.
TEST(KbflashLedDevices, DevicesWithDifferentStartsEachSeeTheirOwnRun)
{
    SharedLog log;
    FakeDevice a(log, 0, {false, false, false});
    FakeDevice b(log, 1, {true, true, true});
    FakePacer pacer(log);
    EXPECT_EQ(kbflash::playPatternOn({&a, &b}, pacer), Outcome::Done);
    EXPECT_EQ(only(log.entries, "d0:"), aloneRun(0, a.on));
    EXPECT_EQ(only(log.entries, "d1:"), aloneRun(1, b.on));
    EXPECT_EQ(a.on, (std::array<bool, 3>{false, false, false}));
    EXPECT_EQ(b.on, (std::array<bool, 3>{true, true, true}));
    EXPECT_EQ(pacer.sleeps, 102);
    // The blink phase: each pause is followed by device 0's change, then device 1's.
    const auto z = std::find(log.entries.begin(), log.entries.end(), "z50");
    ASSERT_NE(z, log.entries.end());
    EXPECT_EQ(*(z + 1), "d0:C0");
    EXPECT_EQ(*(z + 2), "d1:C0");
    EXPECT_EQ(*(z + 3), "z50");
}

TEST(KbflashLedDevices, StopRequestPutsEveryDeviceBack)
{
    for (int stopAt : {0, 1, 2, 51, 101}) {
        SCOPED_TRACE("stop at sleep " + std::to_string(stopAt));
        SharedLog log;
        FakeDevice a(log, 0, {false, true, false});
        FakeDevice b(log, 1, {true, false, true});
        FakePacer pacer(log);
        pacer.stopAtSleep = stopAt;
        EXPECT_EQ(kbflash::playPatternOn({&a, &b}, pacer), Outcome::Interrupted);
        EXPECT_EQ(a.on, (std::array<bool, 3>{false, true, false}));
        EXPECT_EQ(b.on, (std::array<bool, 3>{true, false, true}));
        EXPECT_EQ(log.entries.front(), "Wait...\r\n");
        EXPECT_NE(log.entries.back(), "OK.\r\n");
        EXPECT_EQ(pacer.sleeps, stopAt + 1);
    }
}

} // namespace
