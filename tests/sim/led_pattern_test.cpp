// The reader's recogniser of the keyboard-LED reset pattern, fed with the
// indicator states a keyboard would see (no display needed).
#include "led_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using zn480sim::LedPattern;
using zn480sim::Leds;

namespace {

// A step is a state written as letters ("CNS" all on, "CN", "" all off) or a
// pause: "+2000" advances the clock by that many milliseconds.
struct Case {
    const char* name;
    std::vector<std::string> steps;
    int expectedFires;
};

Leds parse(const std::string& s)
{
    return {s.find('C') != std::string::npos, s.find('N') != std::string::npos, s.find('S') != std::string::npos};
}

// kbflash's pattern from "all off": on in turn, Scroll off, then `toggles`
// Caps taps; the restoring taps of an all-off start follow.
std::vector<std::string> kbflash(int toggles = 100, bool restoreOff = true)
{
    std::vector<std::string> s = {"C", "CN", "CNS", "CN"};
    for (int i = 1; i <= toggles; ++i)
        s.push_back(i % 2 ? "N" : "CN");
    if (restoreOff) {
        s.push_back(toggles % 2 ? "" : "N"); // Caps back off
        s.push_back("");                     // Num back off
    }
    return s;
}

std::vector<std::string> join(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> r;
    for (auto& p : parts)
        r.insert(r.end(), p.begin(), p.end());
    return r;
}

int fires(const std::vector<std::string>& steps)
{
    LedPattern p;
    int64_t ms = 0;
    int n = 0;
    for (const auto& s : steps) {
        if (!s.empty() && s[0] == '+') {
            ms += std::stoll(s.substr(1));
            continue;
        }
        ms += 50;
        n += p.feed(parse(s), ms) ? 1 : 0;
    }
    return n;
}

TEST(LedPattern, RecognisesTheResetPatternOnlyWhenItIsWhole)
{
    std::vector<std::string> nineteen = {"CNS", "CN"};
    for (int i = 1; i <= 19; ++i)
        nineteen.push_back(i % 2 ? "N" : "CN");
    std::vector<std::string> numDrops = {"CNS", "CN", "N", "CN", "N", "CN", "C", "CN"};
    for (int i = 1; i <= 15; ++i)
        numDrops.push_back(i % 2 ? "N" : "CN");
    std::vector<std::string> paused = {"CNS", "CN"};
    for (int i = 1; i <= 30; ++i) {
        if (i == 12)
            paused.push_back("+2000");
        paused.push_back(i % 2 ? "N" : "CN");
    }
    std::vector<std::string> noScroll = {"C", "CN"};
    for (int i = 1; i <= 40; ++i)
        noScroll.push_back(i % 2 ? "N" : "CN");
    // 15 + 10 toggles, but Scroll Lock comes back on between them.
    std::vector<std::string> scrollBack = {"CNS", "CN"};
    for (int i = 1; i <= 15; ++i)
        scrollBack.push_back(i % 2 ? "N" : "CN");
    scrollBack.push_back("NS");
    scrollBack.push_back("CNS");
    scrollBack.push_back("CN");
    for (int i = 1; i <= 10; ++i)
        scrollBack.push_back(i % 2 ? "N" : "CN");

    const Case cases[] = {
        {"kbflash from all off", kbflash(), 1},
        // All on at the start: the tool first turns Scroll, Caps, Num off,
        // which looks like the start of a pattern and must not complete one.
        {"kbflash from all on", join({{"CNS", "CN", "N", ""}, kbflash(100, false), {"CNS"}}), 1},
        {"played twice", join({kbflash(), kbflash()}), 2},
        {"repeated reports are no toggles", {"CNS", "CN", "CN", "CN", "CN", "N", "N", "CN"}, 0},
        {"19 toggles are not enough", nineteen, 0},
        {"Num Lock drops while blinking", numDrops, 0},
        {"a long pause breaks the blinking", paused, 0},
        {"never all three on", noScroll, 0},
        {"Scroll back on restarts the count", scrollBack, 0},
        {"a user typing Caps Lock", {"C", "", "C", "", "C", "", "C", ""}, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fires(c.steps), c.expectedFires) << c.name;
}

} // namespace
