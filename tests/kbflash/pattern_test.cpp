// The LED pattern against a recording keyboard: exact order of taps, sleeps
// and output, and the lock states it leaves behind.
#include "pattern.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using kbflash::Key;
using kbflash::LockKeys;
using kbflash::Outcome;

// Models three lock keys and writes every call into one log:
// "C" "N" "S" taps, "z40" sleeps, and output text as is.
class RecordingKeys : public LockKeys {
public:
    std::array<bool, 3> on{};
    std::vector<std::string> log;
    int stopAtSleep = -1; // index of the sleep that reports a stop request
    int sleeps = 0;

    bool getToggle(Key key) override { return on[static_cast<int>(key)]; }
    void tap(Key key) override
    {
        on[static_cast<int>(key)] = !on[static_cast<int>(key)];
        log.push_back(key == Key::Caps ? "C" : key == Key::Num ? "N" : "S");
    }
    bool sleepMs(unsigned ms) override
    {
        if (sleeps++ == stopAtSleep)
            return false;
        log.push_back("z" + std::to_string(ms));
        return true;
    }
    void write(std::string_view text) override { log.emplace_back(text); }
};

std::vector<std::string> expectedRun(std::vector<std::string> clearing, std::vector<std::string> restoring)
{
    std::vector<std::string> e{"Wait...\r\n"};
    e.insert(e.end(), clearing.begin(), clearing.end());
    for (const char* s : {"z40", "C", "N", "S", "z40", "S"})
        e.emplace_back(s);
    for (int i = 0; i < 100; ++i) {
        e.emplace_back("z50");
        e.emplace_back("C");
    }
    e.insert(e.end(), restoring.begin(), restoring.end());
    e.emplace_back("OK.\r\n");
    return e;
}

struct Case {
    const char* name;
    std::array<bool, 3> start; // caps, num, scroll
    std::vector<std::string> clearing;
    std::vector<std::string> restoring;
};

TEST(KbflashPattern, ExactSequenceForStartStates)
{
    const Case cases[] = {
        {"all off", {false, false, false}, {}, {"C", "N"}},
        {"all on", {true, true, true}, {"S", "C", "N"}, {"S"}},
        {"caps only", {true, false, false}, {"C"}, {"N"}},
        {"num only", {false, true, false}, {"N"}, {"C"}},
        {"scroll only", {false, false, true}, {"S"}, {"S", "C", "N"}},
        {"num and scroll", {false, true, true}, {"S", "N"}, {"S", "C"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingKeys keys;
        keys.on = c.start;
        EXPECT_EQ(kbflash::playPattern(keys), Outcome::Done);
        EXPECT_EQ(keys.log, expectedRun(c.clearing, c.restoring));
        EXPECT_EQ(keys.on, c.start);
    }
}

TEST(KbflashPattern, EveryStartStateIsRestored)
{
    for (int bits = 0; bits < 8; ++bits) {
        RecordingKeys keys;
        keys.on = {(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
        const auto start = keys.on;
        kbflash::playPattern(keys);
        EXPECT_EQ(keys.on, start) << "start bits " << bits;
    }
}

// A stop request during any sleep ends the run early with the user's lock
// states back in place and without the closing "OK.".
TEST(KbflashPattern, StopRequestRestoresAndSkipsOk)
{
    // Sleeps: 0 and 1 are the settle pauses, 2.. the blink pauses.
    for (int stopAt : {0, 1, 2, 3, 50, 101}) {
        for (int bits : {0, 7, 5}) {
            SCOPED_TRACE("stop at sleep " + std::to_string(stopAt) + ", start bits " + std::to_string(bits));
            RecordingKeys keys;
            keys.on = {(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
            const auto start = keys.on;
            keys.stopAtSleep = stopAt;
            EXPECT_EQ(kbflash::playPattern(keys), Outcome::Interrupted);
            EXPECT_EQ(keys.on, start);
            EXPECT_EQ(keys.log.front(), "Wait...\r\n");
            EXPECT_NE(keys.log.back(), "OK.\r\n");
            EXPECT_EQ(keys.sleeps, stopAt + 1) << "no sleeping after the stop request";
        }
    }
}

} // namespace
