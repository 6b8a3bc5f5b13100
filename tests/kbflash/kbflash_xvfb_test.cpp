// kbflash against a real X server (a private Xvfb per test), watched by an
// XKB observer that records every lock indicator change. kbflash takes the
// X lock keys only for a reader whose keyboard node it cannot use, so each
// test holds the simulated reader in a umockdev testbed without that node
// and runs kbflash there.
#include "support/testbed_launcher.h"
#include "support/xkb_observer.h"
#include "support/xvfb_server.h"
#include "zn480sim/device.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>

namespace {

using xtest_support::LedChange;
using xtest_support::LedState;
using xtest_support::LockProbe;
using xtest_support::XvfbServer;

const std::string kKbflash = KBFLASH_PATH;
const char* const kFallbackNote = "no raw HID node (/dev/hidrawN) with keyboard LEDs; using the X display instead";

// The reader in HID personality, reachable only through the X lock keys.
class ReaderWithoutNode {
public:
    ReaderWithoutNode() : host_({}, 1, "none")
    {
        char tmpl[] = "/tmp/kbflash-x-XXXXXX";
        if (::mkdtemp(tmpl))
            dir_ = tmpl;
        host_.setKeyboardNode(false);
        if (!dir_.empty() && host_.ok() && host_.appear())
            launcher_ = xtest_support::writeTestbedLauncher(dir_ + "/run-kbflash.sh", host_.testbedDir(), kKbflash);
    }
    ~ReaderWithoutNode()
    {
        std::error_code ec;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ec);
    }
    bool ok() const { return !launcher_.empty(); }
    // kbflash, started in the testbed.
    const std::string& kbflash() const { return launcher_; }

private:
    zn480sim::HidHost host_;
    std::string dir_;
    std::string launcher_;
};

std::string str(const LedState& s)
{
    return std::string(s.caps ? "C" : "c") + (s.num ? "N" : "n") + (s.scroll ? "S" : "s");
}

std::vector<std::string> states(const std::vector<LedChange>& changes)
{
    std::vector<std::string> out;
    for (const auto& c : changes)
        out.push_back(str(c.state));
    return out;
}

// The indicator states kbflash must pass through for a given start.
std::vector<std::string> expectedStates(LedState start)
{
    std::vector<std::string> e;
    LedState s = start;
    auto step = [&](bool LedState::*key) {
        s.*key = !(s.*key);
        e.push_back(str(s));
    };
    // Clearing, then the pattern, then restoring; written out so the
    // expectation does not lean on the code under test.
    if (start.scroll)
        step(&LedState::scroll);
    if (start.caps)
        step(&LedState::caps);
    if (start.num)
        step(&LedState::num);
    step(&LedState::caps);
    step(&LedState::num);
    step(&LedState::scroll);
    step(&LedState::scroll);
    for (int i = 0; i < 100; ++i)
        step(&LedState::caps);
    if (start.scroll)
        step(&LedState::scroll);
    if (!start.caps)
        step(&LedState::caps);
    if (!start.num)
        step(&LedState::num);
    return e;
}

struct StartCase {
    const char* name;
    LedState start;
    bool userBindsScroll;        // the user's keymap binds Scroll_Lock to a modifier
    bool noFreeModifier = false; // every modifier row is in use
};

void PrintTo(const StartCase& c, std::ostream* os)
{
    *os << c.name;
}

class KbflashOnX : public ::testing::TestWithParam<StartCase> {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(xvfb.start(error)) << error;
        ASSERT_TRUE(reader.ok());
    }
    XvfbServer xvfb;
    ReaderWithoutNode reader;
};

TEST_P(KbflashOnX, PlaysPatternAndRestoresEverything)
{
    const StartCase& c = GetParam();
    LockProbe probe(xvfb.display());
    ASSERT_TRUE(probe.ok());
    if (c.userBindsScroll) {
        ASSERT_TRUE(probe.bindScrollLock());
    }
    if (c.noFreeModifier) {
        ASSERT_TRUE(probe.occupyFreeModifiers());
    }
    probe.setLeds(c.start);
    ASSERT_EQ(str(probe.leds()), str(c.start));
    const std::string modmapBefore = probe.modifierMap();
    const std::string keymapBefore = probe.keymapDump();
    const unsigned lockedBefore = probe.lockedMods();
    ASSERT_FALSE(keymapBefore.empty()) << "xkbcomp is needed to compare keymaps";

    const auto run = xtest_support::observeRun(xvfb.display(), reader.kbflash());

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "Wait...\r\nOK.\r\n");
    EXPECT_NE(run.err.find(kFallbackNote), std::string::npos) << run.err;
    EXPECT_EQ(states(run.changes), expectedStates(c.start));

    // The blink phase: exactly 100 Caps Lock changes and nothing else between
    // Scroll Lock going off and the restoring taps.
    const size_t clearing = c.start.caps + c.start.num + c.start.scroll;
    ASSERT_GE(run.changes.size(), clearing + 104);
    int capsOnly = 0;
    for (size_t i = clearing + 4; i < clearing + 104; ++i)
        capsOnly += run.changes[i].which == 1u;
    EXPECT_EQ(capsOnly, 100);

    // Scroll Lock's LED follows the pattern even without a user binding.
    EXPECT_TRUE(run.changes[clearing + 2].state.scroll);
    EXPECT_FALSE(run.changes[clearing + 3].state.scroll);

    EXPECT_EQ(str(probe.leds()), str(c.start));
    EXPECT_EQ(probe.lockedMods(), lockedBefore);
    EXPECT_EQ(probe.modifierMap(), modmapBefore);
    EXPECT_EQ(probe.keymapDump(), keymapBefore);
}

INSTANTIATE_TEST_SUITE_P(StartStates, KbflashOnX,
    ::testing::Values(StartCase{"AllOff", {false, false, false}, false},
        StartCase{"CapsOnDefaultKeymap", {true, false, false}, false},
        StartCase{"AllOnUserBinding", {true, true, true}, true},
        // Scroll Lock's LED is then set through XKB directly.
        StartCase{"NoFreeModifier", {false, true, false}, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A stop request in the middle of the blink phase: the tool puts the lock
// states and the keymap back before it ends.
TEST_F(KbflashOnX, TermSignalMidPatternRestores)
{
    LockProbe probe(xvfb.display());
    ASSERT_TRUE(probe.ok());
    probe.setLeds({false, true, false});
    const std::string modmapBefore = probe.modifierMap();
    const unsigned lockedBefore = probe.lockedMods();

    bool sent = false;
    const auto run = xtest_support::observeRun(
        xvfb.display(), reader.kbflash(), [&](pid_t pid, const std::vector<LedChange>& changes) {
            if (!sent && changes.size() >= 25) {
                kill(pid, SIGTERM);
                sent = true;
            }
        });
    ASSERT_TRUE(sent);
    EXPECT_EQ(run.exitStatus, 128 + SIGTERM);
    EXPECT_EQ(run.out, "Wait...\r\n");
    EXPECT_LT(run.changes.size(), 60u);
    EXPECT_EQ(str(probe.leds()), str({false, true, false}));
    EXPECT_EQ(probe.lockedMods(), lockedBefore);
    EXPECT_EQ(probe.modifierMap(), modmapBefore);
}

TEST(KbflashNoDisplay, ExitsNonZeroWithMessage)
{
    ReaderWithoutNode reader;
    ASSERT_TRUE(reader.ok());
    const struct {
        const char* name;
        std::optional<std::string> display;
    } cases[] = {{"unset", std::nullopt}, {"empty", std::string()}, {"unreachable", std::string(":4093")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = xtest_support::runPlain(reader.kbflash(), c.display);
        EXPECT_NE(run.exitStatus, 0);
        EXPECT_NE(run.exitStatus, 127) << "not started";
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("display"), std::string::npos) << run.err;
    }
}

} // namespace
