// kbflash against the simulated reader's own keyboard: the reader in HID
// personality is a USB keyboard 6A4E:0013 in a umockdev testbed, and its
// raw HID node is served by the simulator, which keeps every LED state
// written to it as an output report. A second, unrelated keyboard sits in the same testbed. kbflash runs
// under umockdev-wrapper, so it sees exactly that machine.
// Real time: one pattern takes about 5 s.
#include "support/testbed_launcher.h"
#include "support/xkb_observer.h"
#include "support/xvfb_server.h"
#include "zn480sim/device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using zn480sim::HidHost;
using zn480sim::KeyboardLog;

const std::string kKbflash = KBFLASH_PATH;

struct Start {
    bool caps, num, scroll;
};

std::string str(bool caps, bool num, bool scroll)
{
    return std::string(caps ? "C" : "c") + (num ? "N" : "n") + (scroll ? "S" : "s");
}

std::vector<std::string> states(const KeyboardLog& log)
{
    std::vector<std::string> out;
    for (const auto& c : log.changes)
        out.push_back(str(c.caps, c.num, c.scroll));
    return out;
}

// The LED states the pattern passes through from a given start, written out
// from the tool's description: clear what is on (Scroll, Caps, Num), all on,
// Scroll off, 100 Caps changes, back to the start.
std::vector<std::string> expectedStates(Start start)
{
    std::vector<std::string> e;
    Start s = start;
    auto step = [&](bool Start::*key) {
        s.*key = !(s.*key);
        e.push_back(str(s.caps, s.num, s.scroll));
    };
    if (start.scroll)
        step(&Start::scroll);
    if (start.caps)
        step(&Start::caps);
    if (start.num)
        step(&Start::num);
    step(&Start::caps);
    step(&Start::num);
    step(&Start::scroll);
    step(&Start::scroll);
    for (int i = 0; i < 100; ++i)
        step(&Start::caps);
    if (start.scroll)
        step(&Start::scroll);
    if (!start.caps)
        step(&Start::caps);
    if (!start.num)
        step(&Start::num);
    return e;
}

// The simulated reader in HID personality (LEDs of no X display watched:
// whatever it recognises came through its node) plus another keyboard.
class ReaderKeyboard : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kbflash-evdev-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        host_ = std::make_unique<HidHost>(std::string(), 1, "none");
        ASSERT_TRUE(host_->ok());
        host_->onPattern([this](const std::string& where) {
            std::lock_guard lk(mu_);
            seenOn_.push_back(where);
        });
    }
    void TearDown() override
    {
        host_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    bool plugIn(Start s)
    {
        host_->setKeyboardLeds(s.caps, s.num, s.scroll);
        return host_->appear() && host_->addOtherKeyboard();
    }

    // A script that runs kbflash in the testbed, as `user` when not empty
    // (observeRun and runPlain start a program without arguments).
    std::string launcher(const std::string& asUser = {})
    {
        return xtest_support::writeTestbedLauncher(dir_ + "/run-kbflash.sh", host_->testbedDir(), kKbflash, asUser);
    }

    std::vector<std::string> seenOn()
    {
        std::lock_guard lk(mu_);
        return seenOn_;
    }

    std::string dir_;
    std::unique_ptr<HidHost> host_;
    std::mutex mu_;
    std::vector<std::string> seenOn_;
};

class ReaderKeyboardStarts : public ReaderKeyboard, public ::testing::WithParamInterface<Start> { };

// Exactly the pattern's states on the reader's node, in order, each as one
// change; nothing at all on the other keyboard; the reader recognises it.
TEST_P(ReaderKeyboardStarts, PatternGoesToTheReaderNodeOnly)
{
    const Start start = GetParam();
    ASSERT_TRUE(plugIn(start));
    const auto run = xtest_support::runPlain(launcher(), std::nullopt);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "Wait...\r\nOK.\r\n");
    EXPECT_EQ(run.err, "");

    const KeyboardLog log = host_->keyboardLog();
    EXPECT_EQ(states(log), expectedStates(start));
    EXPECT_EQ(log.writes, log.changes.size()) << "one write per LED change";
    const KeyboardLog other = host_->otherKeyboardLog();
    EXPECT_FALSE(other.devnode.empty());
    EXPECT_EQ(other.writes, 0u) << "the other keyboard was written to";
    EXPECT_EQ(seenOn(), std::vector<std::string>{log.devnode});
}

INSTANTIATE_TEST_SUITE_P(Starts, ReaderKeyboardStarts,
    ::testing::Values(
        Start{false, false, false}, Start{true, false, false}, Start{true, true, true}, Start{false, true, true}),
    [](const auto& info) {
        const Start& s = info.param;
        return str(s.caps, s.num, s.scroll);
    });

// The same through an X display that is there: the X lock keys stay put,
// since the reader's node takes the pattern.
TEST_F(ReaderKeyboard, NodeIsPreferredOverAReachableDisplay)
{
    xtest_support::XvfbServer xvfb;
    std::string error;
    ASSERT_TRUE(xvfb.start(error)) << error;
    ASSERT_TRUE(plugIn({false, true, false}));
    const auto run = xtest_support::observeRun(xvfb.display(), launcher());
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "Wait...\r\nOK.\r\n");
    EXPECT_TRUE(run.changes.empty()) << run.changes.size() << " X indicator changes";
    EXPECT_EQ(states(host_->keyboardLog()), expectedStates({false, true, false}));
}

// A node the user may not write: tests run as root, whom file modes do not
// stop, so kbflash runs as "nobody" against a node only root may open.
class UnwritableNode : public ReaderKeyboard {
protected:
    void SetUp() override
    {
        ReaderKeyboard::SetUp();
        if (HasFatalFailure())
            return;
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to run kbflash as another user";
        ASSERT_TRUE(plugIn({false, false, false}));
        node_ = host_->keyboardLog().devnode;
        // The testbed itself stays readable, so the reader is still found.
        for (fs::path p = host_->testbedDir(); p != "/" && p != "/tmp"; p = p.parent_path())
            ::chmod(p.c_str(), 0755);
        ::chmod(dir_.c_str(), 0755);
        // umockdev stands a char device in with a link to a pty; in its place
        // goes a file that only root may open, which is what a node without
        // the udev rules' ACL is to everybody else.
        const std::string file = host_->testbedDir() + node_;
        ASSERT_TRUE(fs::is_symlink(file)) << file;
        fs::remove(file);
        std::ofstream(file).put('\0');
        ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
        ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
        // umockdev's own sockets stay open to everybody: only the node is
        // to refuse.
        for (const auto& e : fs::recursive_directory_iterator(host_->testbedDir() + "/ioctl"))
            if (e.is_socket())
                ::chmod(e.path().c_str(), 0777);
    }
    std::string node_;
};

TEST_F(UnwritableNode, FallsBackToTheXDisplay)
{
    xtest_support::XvfbServer xvfb;
    std::string error;
    ASSERT_TRUE(xvfb.start(error)) << error;
    const auto run = xtest_support::observeRun(xvfb.display(), launcher("65534"));
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "Wait...\r\nOK.\r\n");
    EXPECT_NE(run.err.find("no permission to write " + node_), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("using the X display instead"), std::string::npos) << run.err;
    // The whole pattern on the X lock keys: clearing none, 4 + 100, restoring 2.
    EXPECT_EQ(run.changes.size(), 106u);
    EXPECT_EQ(host_->keyboardLog().writes, 0u);
}

TEST_F(UnwritableNode, WithoutDisplayFailsWithTheFix)
{
    const auto run = xtest_support::runPlain(launcher("65534"), std::nullopt);
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("no permission to write " + node_), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("no X display"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("70-zn480.rules"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("udevadm trigger"), std::string::npos) << run.err;
    EXPECT_EQ(host_->keyboardLog().writes, 0u);
}

// What the udev rules grant is enough: a user who may write the reader's raw
// HID node and nothing else (not the keyboard's event node, which could
// inject key presses) gets the whole pattern to the reader, without any X
// display to fall back on.
TEST_F(ReaderKeyboard, TheRawNodeAloneIsEnoughForAnOrdinaryUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run kbflash as another user";
    ASSERT_TRUE(plugIn({false, true, false}));
    for (fs::path p = host_->testbedDir(); p != "/" && p != "/tmp"; p = p.parent_path())
        ::chmod(p.c_str(), 0755);
    ::chmod(dir_.c_str(), 0755);
    for (const auto& e : fs::recursive_directory_iterator(host_->testbedDir() + "/ioctl"))
        if (e.is_socket())
            ::chmod(e.path().c_str(), 0777);
    // The raw node open to the user for writing only, which is all kbflash
    // may ask for (umockdev stands a link to a pty in for the node; the pty
    // is what gets opened).
    const std::string raw = host_->testbedDir() + host_->keyboardLog().devnode;
    ASSERT_TRUE(fs::is_symlink(raw)) << raw;
    ASSERT_EQ(::chmod(fs::canonical(raw).c_str(), 0602), 0);
    // Every event node only root's, as without a rule for it.
    int eventNodes = 0;
    for (const auto& e : fs::directory_iterator(host_->testbedDir() + "/dev/input")) {
        const std::string file = e.path().string();
        fs::remove(file);
        std::ofstream(file).put('\0');
        ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
        ++eventNodes;
    }
    ASSERT_GE(eventNodes, 2) << "the reader's and the other keyboard's event nodes";

    const auto run = xtest_support::runPlain(launcher("65534"), std::nullopt);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "Wait...\r\nOK.\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(states(host_->keyboardLog()), expectedStates({false, true, false}));
}

// No reader at all (only the other keyboard), with or without a display:
// nothing is written anywhere and the X lock keys stay put, since the reader
// has nothing to see (Tarvex's second start comes after the reader has left).
TEST_F(ReaderKeyboard, NoReaderTouchesNothing)
{
    ASSERT_TRUE(host_->addOtherKeyboard());
    xtest_support::XvfbServer xvfb;
    std::string error;
    ASSERT_TRUE(xvfb.start(error)) << error;
    for (bool withDisplay : {false, true}) {
        SCOPED_TRACE(withDisplay ? "with a display" : "without a display");
        const auto run = withDisplay ? xtest_support::observeRun(xvfb.display(), launcher())
                                     : xtest_support::runPlain(launcher(), std::nullopt);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("no ZN480 reader found in HID personality"), std::string::npos) << run.err;
        EXPECT_TRUE(run.changes.empty()) << run.changes.size() << " X indicator changes";
    }
    EXPECT_EQ(host_->otherKeyboardLog().writes, 0u);
}

// The reader is there but has no raw HID node: the X display carries the
// pattern, with a note on standard error.
TEST_F(ReaderKeyboard, ReaderWithoutNodeUsesTheDisplay)
{
    host_->setKeyboardNode(false);
    ASSERT_TRUE(plugIn({false, false, false}));
    xtest_support::XvfbServer xvfb;
    std::string error;
    ASSERT_TRUE(xvfb.start(error)) << error;
    const auto run = xtest_support::observeRun(xvfb.display(), launcher());
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "Wait...\r\nOK.\r\n");
    EXPECT_NE(run.err.find("no raw HID node"), std::string::npos) << run.err;
    EXPECT_EQ(run.changes.size(), 106u);
    EXPECT_EQ(host_->otherKeyboardLog().writes, 0u);
}

} // namespace
