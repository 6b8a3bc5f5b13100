// Personality switches of a simulated reader, done in the real Tarvex under
// its own X server the way a person would do them: click the reader in the
// list, click a mode button, answer the option dialog, press Return on the
// message. Each switch must end with the success message, the exact command
// bytes at the reader, and the reader listed again in its new personality.
//
// These run on the real clock against real peers (private PC/SC daemon with
// a virtual reader, ptys, a umockdev testbed, Xvfb): scan ticks, the reboot
// pause and the LED-reset spacing are all real waits.
#include "drive_tarvex.h"
#include "private_pcscd.h"
#include "xkb_observer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace zn480e2e {
namespace {

using Button = TarvexApp::Button;

const char* const kSuccess = "Operation completed with success!";
const std::string kCcidEntry = "CCID ZN480 Sim 1 00 00 - 01020304 (2.166)";
const std::string kCdcEntry = "COM3 ZN480 CDC - 01020304 (2.166)";
const std::string kHidEntry = "HID ZN480 Keyboard 0";

// An option dialog: title, client width and the controls clicked.
struct Dialog {
    std::string title; // empty: the button shows none
    int clientWidthTw = 0;
    std::vector<TwipsRect> clicks;
};

// One switch as a person does it, and what it must lead to.
struct SwitchCase {
    std::string from; // entry clicked
    Button button;
    Dialog dialog;
    std::vector<std::string> commands; // the last commands the reader gets
    std::string to;                    // entry listed afterwards
};

bool tool(const char* name)
{
    int st = -1;
    runCapture({"sh", "-c", std::string("command -v ") + name}, &st);
    return st == 0;
}

class SwitchOnDesktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the private PC/SC daemon needs root";
        for (const char* t : {"Xvfb", "openbox", "xdotool", "xprop", "pcscd"}) {
            if (!tool(t))
                GTEST_SKIP() << t << " is not installed";
        }
        ASSERT_FALSE(work_.path.empty());
        std::filesystem::create_directory(work_ / "dev");
        desktop_ = std::make_unique<Desktop>(work_.path);
        ASSERT_TRUE(desktop_->ok()) << desktop_->error();
    }

    void TearDown() override
    {
        // Tarvex first: a program that still has a testbed node open when
        // the testbed goes is killed, and its state is worth keeping.
        if (app_ && HasFailure()) {
            std::cerr << "Tarvex state: " << app_->state().describe() << "\nTarvex output:\n" << app_->log() << "\n";
            if (sim_)
                std::cerr << "simulator output:\n" << sim_->output() << "\n";
        }
        app_.reset();
        sim_.reset();
        pcscd_.reset();
        desktop_.reset();
    }

    void startTarvex(const std::string& umockdevDir = {})
    {
        TarvexApp::Options o;
        o.program = TARVEX_PATH;
        o.deviceDir = work_ / "dev";
        o.pcscSocket = pcscd_->socketPath();
        o.umockdevDir = umockdevDir;
        app_ = std::make_unique<TarvexApp>(*desktop_, work_.path, o);
        ASSERT_TRUE(app_->ok()) << app_->error();
    }

    // Runs one switch and checks everything a person and the reader see.
    // `duringSwitch` runs once the click and the dialog are done.
    void runSwitch(const SwitchCase& c, Millis messageLimit, const std::function<void()>& duringSwitch = {})
    {
        SCOPED_TRACE(c.from + " -> " + c.to);
        const size_t before = sim_->commands().size();
        const size_t message = app_->state().messages.size();
        ASSERT_TRUE(app_->startCommand(c.from, c.button, c.dialog.title)) << app_->state().describe();
        if (!c.dialog.title.empty()) {
            ASSERT_TRUE(app_->answerDialog(c.dialog.title, c.dialog.clientWidthTw, c.dialog.clicks, Millis(10000)))
                << "dialog \"" << c.dialog.title << "\" not answered";
        }
        if (duringSwitch)
            duringSwitch();
        const auto text = app_->answerMessage(message, messageLimit, [&] {
            // The README's picture of a finished switch comes from here:
            // E2E_SWITCH_SCREENSHOT=docs/screenshots/switch-completed.png
            const char* shot = std::getenv("E2E_SWITCH_SCREENSHOT");
            if (shot && !shotTaken_)
                shotTaken_ = desktop_->screenshot(shot);
        });
        ASSERT_TRUE(text.has_value()) << "no message box; " << app_->state().describe();
        EXPECT_EQ(*text, kSuccess);

        // The workflow sends its commands back to back, without letting the
        // scan in between; before them the reader saw the opening, and after
        // them, when the scan is still running, only its identity reads.
        const std::vector<std::string> all = sim_->commands();
        ASSERT_GE(all.size(), before);
        const std::vector<std::string> since(all.begin() + std::ptrdiff_t(before), all.end());
        const auto run = std::search(since.begin(), since.end(), c.commands.begin(), c.commands.end());
        ASSERT_NE(run, since.end()) << "the reader got: " << ::testing::PrintToString(since);
        for (auto it = run + std::ptrdiff_t(c.commands.size()); it != since.end(); ++it)
            EXPECT_TRUE(*it == "FFCAE00000" || *it == "FFCAF00004" || *it == "FFCAE00004")
                << "after the switch the reader got " << *it;

        EXPECT_TRUE(app_->waitState([&](const TarvexState& s) { return s.has(c.to) && s.enabled; }, Millis(20000)))
            << app_->state().describe();
        EXPECT_EQ(app_->state().messages.size(), message + 1) << "a further message: " << app_->state().describe();
    }

    TempDir work_{"e2e-switch"};
    std::unique_ptr<Desktop> desktop_;
    std::unique_ptr<SimPcscd> pcscd_;
    std::unique_ptr<SimReader> sim_;
    std::unique_ptr<TarvexApp> app_;
    bool shotTaken_ = false;
};

TEST_F(SwitchOnDesktop, CcidToCdcAndBackTwice)
{
    // The reader as the hardware shows it: a PC/SC reader only while in
    // CCID, a 6A4E USB device with a ttyACM port while in CDC.
    pcscd_ = std::make_unique<SimPcscd>(work_.path);
    ASSERT_TRUE(pcscd_->ok());
    SimReader::Options so;
    so.program = ZN480SIM_PATH;
    so.personality = "ccid";
    so.cdcLink = work_ / "dev/ttyACM2"; // COM3
    so.vpcdPort = pcscd_->port;
    so.ccidService = pcscd_->service();
    so.hidTestbed = work_ / "testbed";
    so.display = "none";
    sim_ = std::make_unique<SimReader>(work_.path, so);
    ASSERT_TRUE(sim_->ok()) << sim_->output();
    startTarvex(sim_->testbedDir());
    ASSERT_TRUE(app_->waitState([](const TarvexState& s) { return s.has(kCcidEntry); }, Millis(20000)))
        << app_->state().describe();

    const SwitchCase toCdc{
        kCcidEntry, Button::CDC, {}, {"FFCAF00004", "FEDD02000A01FE01020304AFF5A6FE", "FFFEFC0000"}, kCdcEntry};
    // Twice to CCID: the dialog's second showing must take clicks as well
    // as its first (it stays loaded under the locked window in between).
    const SwitchCase cases[] = {
        toCdc,
        {kCdcEntry, Button::CCID, {"CCID Fake Card Selection", kCcidDialogWidthTw, {kCcidNoFakeTw}},
            {"FFCAF00004", "FEDD02010A00FF0102030477344D58", "FFCAF00004", "FEDD02000A00FF0102030477344D58",
                "FFFEFC0000"},
            kCcidEntry},
        toCdc,
        {kCdcEntry, Button::CCID, {"CCID Fake Card Selection", kCcidDialogWidthTw, {kCcidStandardTw}},
            {"FFCAF00004", "FEDD02010AFF0001020304E9F0F118", "FFCAF00004", "FEDD02000A00FF0102030477344D58",
                "FFFEFC0000"},
            kCcidEntry},
    };
    for (const SwitchCase& c : cases) {
        runSwitch(c, Millis(20000));
        if (HasFatalFailure())
            return;
    }
}

TEST_F(SwitchOnDesktop, CdcToHidThenHidToCcidThroughTheLedReset)
{
    // While the reader is a keyboard the list must hold it alone, or the
    // reset refuses: the reader's PC/SC reader exists only in CCID.
    pcscd_ = std::make_unique<SimPcscd>(work_.path);
    ASSERT_TRUE(pcscd_->ok());
    SimReader::Options so;
    so.program = ZN480SIM_PATH;
    so.personality = "cdc";
    so.cdcLink = work_ / "dev/ttyACM2";
    so.vpcdPort = pcscd_->port;
    so.ccidService = pcscd_->service();
    so.hidTestbed = work_ / "testbed";
    so.display = desktop_->display();
    sim_ = std::make_unique<SimReader>(work_.path, so);
    ASSERT_TRUE(sim_->ok()) << sim_->output();
    ASSERT_FALSE(sim_->testbedDir().empty()) << sim_->output();
    startTarvex(sim_->testbedDir());
    ASSERT_TRUE(app_->waitState([](const TarvexState& s) { return s.has(kCdcEntry); }, Millis(20000)))
        << app_->state().describe();

    // Format 1 (hexadecimal UID, selected from the start) with '#' and SHIFT.
    runSwitch(
        {kCdcEntry, Button::HID, {"HID Mode Selection", kHidDialogWidthTw, {kHidHashtagTw, kHidShiftTw}},
            {"FEDD030200", "FEDD0302026040", "FFCAF00004", "FEDD02000A03FC0102030407011969", "FFFEFC0000"}, kHidEntry},
        Millis(20000));
    if (HasFatalFailure())
        return;
    EXPECT_EQ(app_->state().entries, std::vector<std::string>{kHidEntry});

    // The reader leaves HID on kbflash's LED pattern and comes back as CDC;
    // the workflow then opens it there and sends it to CCID. kbflash plays
    // it on the reader's own keyboard node (Tarvex, and so kbflash, runs in
    // the testbed), so the desktop's lock keys never move.
    xtest_support::IndicatorRecorder xLeds(desktop_->display());
    ASSERT_TRUE(xLeds.ok());
    runSwitch({kHidEntry, Button::CCID, {"CCID Fake Card Selection", kCcidDialogWidthTw, {kCcidAlwaysPresentTw}},
                  {"FFCAF00004", "FEDD02010A02FD01020304DFC0F2CF", "FFCAF00004", "FEDD02000A00FF0102030477344D58",
                      "FFFEFC0000"},
                  kCcidEntry},
        Millis(60000), [&] {
            const bool sent = waitUntil(
                [&] {
                    for (const std::string& c : sim_->commands())
                        if (c.rfind("FEDD02010A", 0) == 0)
                            return true;
                    return false;
                },
                Millis(60000));
            EXPECT_TRUE(sent) << "the fake-card setting never reached the reader";
        });
    EXPECT_NE(sim_->output().find("LED reset pattern seen: leaving HID for CDC (on /dev/hidraw"), std::string::npos)
        << sim_->output();
    xLeds.sync();
    EXPECT_TRUE(xLeds.changes().empty()) << xLeds.changes().size() << " lock-key changes on the X display";
}

} // namespace
} // namespace zn480e2e
