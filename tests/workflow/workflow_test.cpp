#include "world.h"
#include <gtest/gtest.h>

using namespace tarvex;
using namespace tarvex::testing;
using Strings = std::vector<std::string>;

namespace {

const std::string kSwitchCcid = "FEDD02000A00FF01020304"
                                "77344D58";
const std::string kSwitchCdc = "FEDD02000A01FE01020304"
                               "AFF5A6FE";
const std::string kSwitchHid = "FEDD02000A03FC01020304"
                               "07011969";
const std::string kFake2 = "FEDD02010A02FD01020304"
                           "DFC0F2CF";

const QString kVersionMsg = "Version equal or greater than 2.166 is required for this mode.";

struct Outcome {
    bool entryKept;
    bool refreshChecked;
};

void expectClosedOut(World& w, const Outcome& o, const char* entry)
{
    EXPECT_EQ(w.form->core().lockDepth(), 0);
    EXPECT_TRUE(w.form->isEnabled());
    EXPECT_EQ(w.form->core().list().selected(), -1);
    EXPECT_EQ(w.form->core().CheckList(FilterExtra(entry)) >= 0, o.entryKept);
    EXPECT_EQ(w.refreshChecked(), o.refreshChecked);
}

} // namespace

TEST(Workflow, ToCdcFromCcidSendsSwitchRebootsAndReports)
{
    World w;
    w.form->chkRefresh->setChecked(false);
    w.select(kCcidEntry);
    w.form->cmdCDC_Click();

    EXPECT_EQ(w.commands(), (Strings{"FFCAF00004", kSwitchCdc, "FFFEFC0000"}));
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"Operation completed with success!"});
    EXPECT_NE(std::find(w.fakes.clock.sleeps.begin(), w.fakes.clock.sleeps.end(), 2000u), w.fakes.clock.sleeps.end());
    expectClosedOut(w, {false, true}, kCcidEntry);
    // The card connection was closed at the end.
    EXPECT_EQ(w.fakes.pcsc.calls.back(), "disconnect");
}

TEST(Workflow, ToHidFromCdcWritesFormatThenSwitches)
{
    World w;
    w.answerHid(1, true, true);
    w.select(kCdcEntry);
    w.form->cmdHID_Click();

    EXPECT_EQ(w.commands(), (Strings{"FEDD030200", "FEDD0302026040", "FFCAF00004", kSwitchHid, "FFFEFC0000"}));
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"Operation completed with success!"});
    expectClosedOut(w, {false, true}, kCdcEntry);
    EXPECT_EQ(w.fakes.serchan.closes.back(), 3);
}

TEST(Workflow, ToCcidSendsFakeCardThenSwitch)
{
    World w;
    w.answerCcid(2);
    w.select(kCdcEntry);
    w.form->cmdCCID_Click();

    EXPECT_EQ(w.commands(), (Strings{"FFCAF00004", kFake2, "FFCAF00004", kSwitchCcid, "FFFEFC0000"}));
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"Operation completed with success!"});
    EXPECT_EQ(w.reader.config().fakeCard, 2);
    expectClosedOut(w, {false, true}, kCdcEntry);
}

// Every way a workflow can stop early, with what the user sees and what is
// left of the list entry and the refresh box.
struct StopCase {
    const char* name;
    const char* button; // "hid", "cdc", "ccid"
    const char* entry;
    int dialogAnswer;         // HID format / CCID option; 0 = close box
    const char* refusePrefix; // command the reader refuses, or nullptr
    bool portOpens;
    QStringList messages;
    Strings commands;
    Outcome outcome;
};

class WorkflowStops : public ::testing::TestWithParam<StopCase> { };

TEST_P(WorkflowStops, ReportsAndLeavesListAsExpected)
{
    const StopCase& c = GetParam();
    World w;
    w.form->chkRefresh->setChecked(false);
    w.fakes.serchan.ports[3] = c.portOpens;
    if (std::string(c.button) == "hid")
        w.answerHid(c.dialogAnswer);
    if (std::string(c.button) == "ccid")
        w.answerCcid(c.dialogAnswer);
    if (c.refusePrefix) {
        std::string hex = c.refusePrefix;
        std::vector<uint8_t> prefix;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            prefix.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
        w.reader.refuse(prefix, 0x6A80, 1);
    }
    w.select(c.entry);
    std::string b = c.button;
    if (b == "hid")
        w.form->cmdHID_Click();
    else if (b == "cdc")
        w.form->cmdCDC_Click();
    else
        w.form->cmdCCID_Click();

    EXPECT_EQ(w.fakes.ui.messages, c.messages);
    EXPECT_EQ(w.commands(), c.commands);
    expectClosedOut(w, c.outcome, c.entry);
}

INSTANTIATE_TEST_SUITE_P(Table, WorkflowStops,
    ::testing::Values(StopCase{"HidOldFirmware", "hid", "COM3 ZN480 CDC - 01020304 (2.165)", 1, nullptr, true,
                          {kVersionMsg}, {}, {true, false}},
        StopCase{"CdcOldFirmware", "cdc", "COM3 ZN480 CDC - 01020304 (2.165)", 0, nullptr, true, {kVersionMsg}, {},
            {true, false}},
        StopCase{"HidNoFirmwareText", "hid", "CCID ZN480 Sim 0", 1, nullptr, true, {}, {}, {true, false}},
        StopCase{"HidDialogClosed", "hid", kCdcEntry, 0, nullptr, true, {}, {}, {true, false}},
        StopCase{"CcidDialogClosed", "ccid", kCdcEntry, 0, nullptr, true, {}, {}, {true, false}},
        StopCase{"CdcPortDoesNotOpen", "cdc", kCdcEntry, 0, nullptr, false, {}, {}, {true, false}},
        StopCase{"HidFormatRefused", "hid", kCdcEntry, 1, "FEDD030202", true,
            {"Failed to set HID serial number format!"}, {"FEDD030200", "FEDD0302020040"}, {false, false}},
        StopCase{"CcidFakeRefused", "ccid", kCdcEntry, 3, "FEDD02010A", true,
            {"Failed to set fake mode configuration!"},
            {"FFCAF00004",
                "FEDD02010A00FF01020304"
                "77344D58"},
            {false, false}},
        StopCase{"CdcSwitchRefused", "cdc", kCdcEntry, 0, "FEDD02000A", true, {}, {"FFCAF00004", kSwitchCdc},
            {false, true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Workflow, CdcOnEntryWithoutSuffixReadsIdentityInsideOpen)
{
    World w;
    w.select("CCID ZN480 Sim 0");
    w.form->cmdCDC_Click();
    // OpenDevice reads the identity (and checks the firmware) before the switch.
    EXPECT_EQ(w.commands(), (Strings{"FFCAF00004", "FFCAE00004", "FFCAF00004", kSwitchCdc, "FFFEFC0000"}));
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"Operation completed with success!"});
}

TEST(Workflow, EntryPrunedWhileDialogOpenStopsWithoutTouchingReader)
{
    // While the dialog is up a scan prunes our reader and, as the only entry
    // left, selects another reader's: the workflow must not go on with that
    // one.
    World w;
    w.fakes.pcsc.readers.push_back({"ZN480 Sim 1"});
    w.form->core().session().smart().ListReaders();
    w.form->core().list().append("CCID ZN480 Sim 1 - 05060708 (2.166)");
    w.select(kCdcEntry);
    w.fakes.ui.onShowModal = [&](QDialog& d) {
        w.list().remove(1);
        w.form->core().list().select(0);
        dynamic_cast<frmCCIDmode&>(d).Option3->click();
    };
    w.form->cmdCCID_Click();
    EXPECT_TRUE(w.commands().empty());
    EXPECT_TRUE(w.fakes.serchan.sent.empty());
    EXPECT_TRUE(w.fakes.ui.messages.isEmpty());
    EXPECT_EQ(w.form->core().lockDepth(), 0);
}

TEST(Workflow, EntryReaddedElsewhereWhileDialogOpenIsFollowedByKey)
{
    // One cycle missed the reader and pruned its entry (the selection goes
    // with it), the next listed it again behind another entry.
    World w;
    w.select(kCdcEntry);
    w.fakes.ui.onShowModal = [&](QDialog& d) {
        w.list().remove(0);
        w.form->core().list().append("MSD ZN480 Mass Storage");
        w.form->core().list().append(kCdcEntry);
        dynamic_cast<frmCCIDmode&>(d).Option3->click();
    };
    w.form->cmdCCID_Click();
    EXPECT_EQ(w.commands().size(), 5u);
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"Operation completed with success!"});
    EXPECT_EQ(w.form->core().list().count(), 1); // only the drive is left
}

TEST(Workflow, ScanDuringTheCardPromptLeavesTheCardReaderItsTransport)
{
    // While the card prompt is up a cycle lists a new CDC reader (and reads
    // its identity over the serial channel); then the user lays the card on
    // the CCID reader and presses OK.
    World w;
    w.fakes.serialMap.add("\\Device\\USBSER000", "COM3");
    w.fakes.pcsc.readers[0].cardPresent = false;
    w.select(kCcidEntry);
    w.fakes.ui.onMessage = [&] {
        if (w.fakes.pcsc.readers[0].cardPresent)
            return;
        w.form->chkRefresh->setChecked(true);
        w.form->tmrUpdates_Timer();
        w.fakes.pcsc.readers[0].cardPresent = true;
    };
    w.form->cmdCDC_Click();

    ASSERT_EQ(w.form->core().CheckList("COM3 ZN480 CDC"), 0); // the scan did list it
    // The probe and the scan's identity reads only: nothing of the switch.
    EXPECT_EQ(w.fakes.serchan.sent.size(), 3u);
    const auto& calls = w.fakes.pcsc.calls;
    EXPECT_NE(std::find(calls.begin(), calls.end(), "transmit:" + kSwitchCdc), calls.end());
    EXPECT_EQ(calls.back(), "disconnect"); // the card is let go at the end
    EXPECT_EQ(w.fakes.ui.messages.back(), "Operation completed with success!");
}

TEST(Workflow, IdentityReadByAScanDuringTheCardPromptIsStillCheckedForFirmware)
{
    // The reader is listed without identity (no card at the time); the user
    // lays the card and a cycle reads the old firmware before OK is pressed.
    World w;
    zn480sim::ReaderConfig old = w.reader.config();
    old.fwMinor = 165;
    w.reader.setConfig(old);
    w.fakes.pcsc.readers[0].cardPresent = false;
    w.select("CCID ZN480 Sim 0");
    w.fakes.ui.onMessage = [&] {
        if (w.fakes.pcsc.readers[0].cardPresent)
            return;
        w.fakes.pcsc.readers[0].cardPresent = true;
        w.form->chkRefresh->setChecked(true);
        w.form->tmrUpdates_Timer();
    };
    w.form->cmdCDC_Click();

    EXPECT_EQ(w.form->core().list().text(0), "CCID ZN480 Sim 0 - 01020304 (2.165)");
    const Strings cmds = w.commands();
    EXPECT_EQ(std::find(cmds.begin(), cmds.end(), kSwitchCdc), cmds.end());
    EXPECT_EQ(w.fakes.ui.messages.back(), kVersionMsg);
    EXPECT_EQ(w.fakes.pcsc.calls.back(), "disconnect");
    EXPECT_EQ(w.form->core().lockDepth(), 0);
}

TEST(Workflow, ReaderNameThatIsNoTextInTheCodePageIsStillAddressed)
{
    // A name with a byte that does not decode (Latin-1 e-acute where the
    // code page is UTF-8) shows garbled in the list, but commands must
    // still reach the reader by its own name.
    World w;
    const std::string raw = "ZN480 Caf\xE9";
    w.fakes.pcsc.readers = {{raw}};
    w.form->chkRefresh->setChecked(true);
    w.form->tmrUpdates_Timer();
    ASSERT_EQ(w.form->core().list().count(), 1);
    w.form->core().list().select(0);
    w.form->cmdCDC_Click();
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"Operation completed with success!"});
    const auto& calls = w.fakes.pcsc.calls;
    EXPECT_NE(std::find(calls.begin(), calls.end(), "connect:" + raw + ":1"), calls.end());
}

TEST(Workflow, CardPromptReconnectsToTheSelectedReaderAfterAScanChoseAnother)
{
    World w;
    w.fakes.pcsc.readers.push_back({"ZN480 Sim 1"});
    w.fakes.pcsc.readers[0].cardPresent = false;
    w.form->core().session().smart().ListReaders();
    w.select(kCcidEntry);
    // While the prompt is up a scan cycle reads the other reader; then the
    // user lays the card on ours and presses OK.
    w.fakes.ui.onMessage = [&] {
        w.form->core().session().smart().SelectReader("ZN480 Sim 1");
        w.fakes.pcsc.readers[0].cardPresent = true;
    };
    w.form->cmdCDC_Click();
    std::vector<std::string> connects;
    for (const auto& c : w.fakes.pcsc.calls)
        if (c.rfind("connect:", 0) == 0)
            connects.push_back(c);
    ASSERT_FALSE(connects.empty());
    EXPECT_EQ(connects.back(), "connect:ZN480 Sim 0:1");
    EXPECT_EQ(w.fakes.ui.messages.back(), "Operation completed with success!");
}

// A cycle while one of the workflow's message boxes is up, with the reader
// still connected and in the workflow's transaction ("Refresh devices" stays
// checked when the last cycle added nothing). The workflow has taken the
// reader's entry out, so the cycle sees a new reader; a connection to it
// would wait for a transaction that ends only after the box is closed.
struct HeldReaderBox {
    const char* name;
    const char* button;       // "hid", "cdc", "ccid"
    int dialogAnswer;         // HID format / CCID option
    const char* refusePrefix; // command the reader refuses, or nullptr
    const char* box;          // the message shown while the reader is held
};

class ScanDuringAMessageBox : public ::testing::TestWithParam<HeldReaderBox> { };

TEST_P(ScanDuringAMessageBox, LeavesTheWorkflowsReaderToIt)
{
    const HeldReaderBox& c = GetParam();
    World w;
    const std::string b = c.button;
    if (b == "hid")
        w.answerHid(c.dialogAnswer);
    if (b == "ccid")
        w.answerCcid(c.dialogAnswer);
    if (c.refusePrefix) {
        std::vector<uint8_t> prefix;
        for (size_t i = 0; c.refusePrefix[i] && c.refusePrefix[i + 1]; i += 2)
            prefix.push_back(uint8_t(std::stoi(std::string(c.refusePrefix + i, 2), nullptr, 16)));
        w.reader.refuse(prefix, 0x6A80, 1);
    }
    int cycles = 0;
    w.fakes.ui.onMessage = [&] {
        if (w.fakes.ui.messages.back() != c.box)
            return;
        ASSERT_NE(w.session().smart().cardHandle(), 0u); // the workflow still holds its reader
        w.form->chkRefresh->setChecked(true);
        w.form->tmrUpdates_Timer();
        ++cycles;
    };
    w.select(kCcidEntry);
    if (b == "hid")
        w.form->cmdHID_Click();
    else if (b == "cdc")
        w.form->cmdCDC_Click();
    else
        w.form->cmdCCID_Click();

    ASSERT_EQ(cycles, 1);
    EXPECT_EQ(w.fakes.pcsc.waits, Strings{}); // nothing waited for the workflow's transaction
    // Listed as a reader held by another program is: without its identity,
    // which a later cycle reads once the reader is free.
    EXPECT_EQ(w.entries(), Strings{std::string("CCID ") + kReaderName});
    const Strings cmds = w.commands();
    EXPECT_EQ(std::find(cmds.begin(), cmds.end(), "FFCAE00004"), cmds.end()); // no identity read
    EXPECT_EQ(w.fakes.ui.messages.back(), c.box);
    EXPECT_EQ(w.fakes.pcsc.calls.back(), "disconnect"); // the workflow let its reader go at the end
    EXPECT_EQ(w.form->core().lockDepth(), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ScanDuringAMessageBox,
    ::testing::Values(HeldReaderBox{"SwitchDone", "cdc", 0, nullptr, "Operation completed with success!"},
        HeldReaderBox{"HidFormatRefused", "hid", 1, "FEDD030202", "Failed to set HID serial number format!"},
        HeldReaderBox{"FakeCardRefused", "ccid", 3, "FEDD02010A", "Failed to set fake mode configuration!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Workflow, EntryListedAgainDuringTheCardPromptIsOpenedByItsKey)
{
    // The reader is listed without identity and has no card. While the card
    // prompt is up one cycle misses the reader (its entry goes, and the
    // selection with it), the next lists it again behind the other entries;
    // then the user lays the card on the reader and presses OK.
    World w;
    w.fakes.hid.ids = {"HID\\VID_6A4E&PID_0013\\0", "HID\\VID_6A4E&PID_0013\\1"};
    w.fakes.pcsc.readers[0].cardPresent = false;
    w.form->tmrUpdates_Timer();
    ASSERT_EQ(w.entries(), (Strings{"CCID ZN480 Sim 0", "HID ZN480 Keyboard 0", "HID ZN480 Keyboard 1"}));
    w.list().select(0);
    const auto present = w.fakes.pcsc.readers;
    w.fakes.ui.onMessage = [&] {
        if (w.fakes.pcsc.readers[0].cardPresent)
            return;
        w.fakes.pcsc.readers.clear();
        w.form->chkRefresh->setChecked(true);
        w.form->tmrUpdates_Timer();
        ASSERT_EQ(w.list().selected(), -1);
        w.fakes.pcsc.readers = present;
        w.form->chkRefresh->setChecked(true);
        w.form->tmrUpdates_Timer();
        ASSERT_EQ(w.entries(), (Strings{"HID ZN480 Keyboard 0", "HID ZN480 Keyboard 1", "CCID ZN480 Sim 0"}));
        w.fakes.pcsc.readers[0].cardPresent = true;
    };
    w.form->cmdCDC_Click();

    EXPECT_EQ(w.commands(), (Strings{"FFCAF00004", "FFCAE00004", "FFCAF00004", kSwitchCdc, "FFFEFC0000"}));
    EXPECT_EQ(w.fakes.ui.messages.back(), "Operation completed with success!");
    EXPECT_EQ(w.entries(), (Strings{"HID ZN480 Keyboard 0", "HID ZN480 Keyboard 1"}));
    EXPECT_EQ(w.fakes.pcsc.calls.back(), "disconnect");
    EXPECT_EQ(w.form->core().lockDepth(), 0);
}
