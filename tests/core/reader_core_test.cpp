// The reader core with no window at all: a front end of fakes that answers
// the core's questions as the command-line tool does.
#include "core/reader_core.h"
#include "fakes.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace tarvex {
namespace {

using Bytes = std::vector<uint8_t>;

using fakes::hexOf;

// A reader of serial 01020304 and firmware 2.166 that accepts everything.
Bytes reader(const Bytes& apdu)
{
    const std::string c = hexOf(apdu);
    if (c == "FFCAF00004")
        return {0x01, 0x02, 0x03, 0x04, 0x90, 0x00};
    if (c == "FFCAE00004")
        return {0x00, 0x02, 0x00, 0xA6, 0x90, 0x00};
    if (c == "FEDD030200")
        return {0x00, 0x00, 0x90, 0x00};
    return {0x90, 0x00};
}

struct Headless {
    fakes::FakeWorld world;
    fakes::FakeReaderUi ui;
    ReaderCore core{makeServices(), ui};

    Services makeServices()
    {
        world.pcsc.responder = reader;
        world.serchan.responder = reader;
        world.clock.autoAdvance = 1;
        return world.services();
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < core.list().count(); ++i)
            out.push_back(core.list().text(i));
        return out;
    }
    std::vector<std::string> pcscSent() const
    {
        std::vector<std::string> out;
        for (const auto& c : world.pcsc.calls)
            if (c.rfind("transmit:", 0) == 0)
                out.push_back(c.substr(9));
        return out;
    }
};

TEST(HeadlessCore, ScansAllFourSourcesAndSwitchesAReader)
{
    Headless h;
    h.world.pcsc.readers.push_back({"ZN480 Sim 0"});
    h.world.serchan.ports[3] = true;
    h.world.serialMap.add("\\Device\\USBSER000", "COM3");
    h.world.hid.ids = {"HID\\VID_6A4E&PID_0013\\0"};
    h.world.drives.drives.push_back({"e:", DRIVE_TYPE_REMOVABLE, true, {"APDU_314.MSD"}});

    h.core.tmrUpdates_Timer();
    EXPECT_EQ(h.entries(),
        (std::vector<std::string>{"CCID ZN480 Sim 0 - 01020304 (2.166)", "COM3 ZN480 CDC - 01020304 (2.166)",
            "HID ZN480 Keyboard 0", "MSD ZN480 Mass Storage"}));
    EXPECT_FALSE(h.core.refreshChecked()); // new entries stop the refresh
    EXPECT_EQ(h.core.lockDepth(), 0);
    ASSERT_FALSE(h.ui.progress.empty());
    EXPECT_EQ(h.ui.progress.front(), " - Scanning...");
    EXPECT_EQ(h.ui.progress.back(), "");
    h.core.tmrUpdates_Timer();            // box cleared: nothing runs
    EXPECT_EQ(h.world.pcsc.listCalls, 2); // InitSmart and ListReaders of the one cycle

    h.world.pcsc.calls.clear();
    h.core.list().select(0);
    h.ui.ccidChoice = kFakeCardAlways;
    EXPECT_TRUE(h.core.switchToCcid());
    EXPECT_EQ(h.pcscSent(),
        (std::vector<std::string>{"FFCAF00004", "FEDD02010A02FD01020304DFC0F2CF", "FFCAF00004",
            "FEDD02000A00FF0102030477344D58", "FFFEFC0000"}));
    EXPECT_EQ(h.ui.messages, std::vector<std::string>{"Operation completed with success!"});
    EXPECT_TRUE(h.core.refreshChecked());
    EXPECT_EQ(h.core.list().count(), 3); // the switched reader comes back through the scan
    EXPECT_EQ(h.core.list().selected(), -1);
    EXPECT_EQ(h.core.lockDepth(), 0);
    EXPECT_EQ(h.world.clock.sleeps, std::vector<uint32_t>{2000}); // the reboot pause, on the injected clock
}

TEST(HeadlessCore, ACycleLeavesNoCardConnectionBehind)
{
    // However the identity read of a PC/SC reader ends, the cycle lets the
    // card go: a connection left behind keeps the switch that follows and
    // other programs from an exclusive connection to the reader.
    struct Case {
        const char* what;
        pcsc::Result status, begin;
        bool readThrows;
    } cases[] = {
        {"state refused", pcsc::F_COMM_ERROR, 0, false},
        {"transaction refused", 0, pcsc::E_SHARING_VIOLATION, false},
        {"identity read fails hard", 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Headless h;
        fakes::FakePcsc::Reader r{"ZN480 Sim 0"};
        r.statusResult = c.status;
        r.beginResult = c.begin;
        h.world.pcsc.readers.push_back(r);
        if (c.readThrows)
            h.world.pcsc.responder = [](const Bytes&) -> Bytes { throw std::runtime_error("reader gone"); };
        h.core.tmrUpdates_Timer();
        EXPECT_TRUE(h.world.pcsc.open.empty());
        EXPECT_EQ(h.core.lockDepth(), 0);
        if (!c.readThrows) {
            EXPECT_EQ(h.entries(), std::vector<std::string>{"CCID ZN480 Sim 0"});
        }
    }
}

// Scans once more while it is asked for the HID format, as a window does
// when its timer ticks behind the dialog.
struct ScanWhileAsked : fakes::FakeReaderUi {
    ReaderCore* core = nullptr;
    HidModeChoice askHidMode() override
    {
        core->setRefresh(true);
        core->tmrUpdates_Timer();
        return {2, 0};
    }
};

TEST(HeadlessCore, ACycleDuringTheDialogProbesThroughItsOwnSession)
{
    // The CDC reader is being switched; while its dialog is up a cycle
    // finds a new CCID reader and reads its identity over PC/SC. Every
    // command of the switch still goes to the serial reader.
    fakes::FakeWorld world;
    world.pcsc.responder = reader;
    world.serchan.responder = reader;
    world.clock.autoAdvance = 1;
    world.serchan.ports[3] = true;
    world.serialMap.add("\\Device\\USBSER000", "COM3");
    ScanWhileAsked ui;
    ReaderCore core(world.services(), ui);
    ui.core = &core;
    core.tmrUpdates_Timer();
    ASSERT_EQ(core.list().count(), 1);
    core.list().select(0);
    world.pcsc.readers.push_back({"ZN480 Late"});
    world.serchan.sent.clear();

    EXPECT_TRUE(core.switchToHid());
    EXPECT_EQ(core.list().count(), 1);
    EXPECT_EQ(core.list().text(0), "CCID ZN480 Late - 01020304 (2.166)");
    // The cycle's probe of COM3, then the switch: all over serial.
    const std::vector<std::string> expected{
        "FFCAE00000", "FEDD030200", "FEDD0302020042", "FFCAF00004", "FEDD02000A03FC0102030407011969", "FFFEFC0000"};
    EXPECT_EQ(world.serchan.sent, expected);
    EXPECT_EQ(core.session().DevKind, DEVKIND_CDC);
}

} // namespace
} // namespace tarvex
