// The scan cycle against fakes of every service: which entries a tick adds,
// keeps and removes, what it probes, and that the window always comes back
// unlocked with its caption restored.
#include "window_fixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

namespace tarvex {
namespace {

using testing::app;
using Bytes = std::vector<uint8_t>;
const Bytes kOk{0x90, 0x00};
// Identity the fake readers report by default: " - 01020304 (2.166)".
const char kSuffix[] = " - 01020304 (2.166)";

std::string hex(const Bytes& b)
{
    return testing::hexOf(b);
}

struct ScanWorld : testing::WindowFixture {
    testing::WindowFakes& w = fakes;
    Bytes serialReply{0x01, 0x02, 0x03, 0x04, 0x90, 0x00};
    Bytes firmwareReply{0x00, 0x02, 0x00, 0xA6, 0x90, 0x00};
    std::map<int, Bytes> probeReply; // per COM port; default 9000

    explicit ScanWorld(const std::function<void(Services&)>& tweak = {}) : WindowFixture(tweak)
    {
        w.pcsc.responder = [this](const Bytes& apdu) { return answer(apdu, 0); };
        w.serchan.responder = [this](const Bytes& apdu) { return answer(apdu, w.serchan.openPort); };
    }

    Bytes answer(const Bytes& apdu, int port)
    {
        const std::string cmd = hex(apdu);
        if (cmd == "FFCAF00004")
            return serialReply;
        if (cmd == "FFCAE00004")
            return firmwareReply;
        if (cmd == "FFCAE00000") {
            auto it = probeReply.find(port);
            return it == probeReply.end() ? kOk : it->second;
        }
        return Bytes{0x6D, 0x00};
    }

    void ccid(const std::string& name, bool card = true)
    {
        fakes::FakePcsc::Reader r;
        r.name = name;
        r.cardPresent = card;
        w.pcsc.readers.push_back(r);
    }
    void cdc(int port, const std::string& valueName = "\\Device\\USBSER000")
    {
        w.serchan.ports[port] = true;
        w.serialMap.add(valueName, "COM" + std::to_string(port));
    }
    void hid(int n)
    {
        w.hid.ids.clear();
        for (int i = 0; i < n; ++i)
            w.hid.ids.push_back("HID\\VID_6A4E&PID_0013\\" + std::to_string(i));
    }
    void drive(const std::string& entry, int type, std::vector<std::string> files, bool readable = true)
    {
        w.drives.drives.push_back({entry, type, readable, std::move(files)});
    }
    void preset(const QStringList& texts)
    {
        for (const QString& t : texts)
            list().append(t.toStdString());
    }

    void tick() { form->tmrUpdates_Timer(); }
    QStringList entries()
    {
        QStringList r;
        for (int i = 0; i < list().count(); ++i)
            r << QString::fromStdString(list().text(i));
        return r;
    }
    bool refresh() const { return form->chkRefresh->isChecked(); }
    void expectIdle()
    {
        EXPECT_EQ(core().lockDepth(), 0);
        EXPECT_TRUE(form->isEnabled());
        EXPECT_EQ(form->windowTitle(), QStringLiteral("ZN480 USB Switch"));
    }
};

TEST(ScanCycle, UncheckedBoxChangesNothing)
{
    ScanWorld s;
    s.ccid("ZN480 A");
    s.hid(1);
    s.preset({"CCID Gone", "HID ZN480 Keyboard 3"});
    s.form->chkRefresh->setChecked(false);
    bool lockedDuringCycle = false;
    s.w.ui.onYield = [&] { lockedDuringCycle = true; };
    s.tick();
    EXPECT_EQ(s.entries(), (QStringList{"CCID Gone", "HID ZN480 Keyboard 3"}));
    EXPECT_FALSE(lockedDuringCycle);
    EXPECT_EQ(s.w.pcsc.listCalls, 0);
    EXPECT_EQ(s.w.hid.calls, 0);
    EXPECT_FALSE(s.refresh());
    s.expectIdle();
}

TEST(ScanCycle, NothingFoundRemovesEveryEntryAndKeepsScanning)
{
    ScanWorld s;
    s.preset({"CCID ZN480 A - 01020304 (2.166)", "COM3 ZN480 CDC - 01 (2.1)", "HID ZN480 Keyboard 0",
        "MSD ZN480 Mass Storage"});
    s.tick();
    EXPECT_TRUE(s.entries().isEmpty());
    EXPECT_TRUE(s.refresh());
    s.expectIdle();
}

TEST(ScanCycle, FindsEveryPersonalityThenStandsStillUntilCheckedAgain)
{
    ScanWorld s;
    s.ccid("ZN480 A");
    s.cdc(3);
    s.hid(1);
    s.drive("e:", DRIVE_TYPE_REMOVABLE, {"APDU_314.MSD"});
    s.tick();
    const QStringList expected{QString("CCID ZN480 A") + kSuffix, QString("COM3 ZN480 CDC") + kSuffix,
        "HID ZN480 Keyboard 0", "MSD ZN480 Mass Storage"};
    EXPECT_EQ(s.entries(), expected);
    EXPECT_FALSE(s.refresh());
    // The last identity read was the CDC reader's, through the scan's own
    // session; the workflows' reader is left as it was.
    EXPECT_EQ(s.core().scanSession().DevKind, DEVKIND_CDC);
    EXPECT_EQ(s.session().DevKind, DEVKIND_CCID);
    s.expectIdle();

    // The unchecked box stops the scan even though the world changed.
    s.w.hid.ids.clear();
    s.tick();
    EXPECT_EQ(s.entries(), expected);

    // Found again, nothing new: no entry changes and the box stays checked.
    s.hid(1);
    s.form->chkRefresh->setChecked(true);
    const int transmitsBefore = int(s.w.pcsc.calls.size());
    s.tick();
    EXPECT_EQ(s.entries(), expected);
    EXPECT_TRUE(s.refresh());
    // An entry with its identity is not read again.
    for (size_t i = size_t(transmitsBefore); i < s.w.pcsc.calls.size(); ++i)
        EXPECT_NE(s.w.pcsc.calls[i].rfind("connect:", 0), 0u) << s.w.pcsc.calls[i];
}

TEST(ScanCycle, NewDeviceAppendedAtEndAndVanishedOnesPruned)
{
    ScanWorld s;
    s.preset({"HID ZN480 Keyboard 0", "CCID ZN480 Old - 01020304 (2.166)", "MSD ZN480 Mass Storage"});
    s.hid(1);
    s.ccid("ZN480 New", false);
    s.tick();
    EXPECT_EQ(s.entries(), (QStringList{"HID ZN480 Keyboard 0", "CCID ZN480 New"}));
    EXPECT_FALSE(s.refresh());
    EXPECT_EQ(s.form->core().list().selected(), -1);
}

TEST(ScanCycle, LoneRemainingEntryIsSelectedAndButtonsFollowIt)
{
    ScanWorld s;
    s.preset({"CCID ZN480 Old", "HID ZN480 Keyboard 0"});
    s.hid(1);
    s.tick();
    ASSERT_EQ(s.entries(), QStringList{"HID ZN480 Keyboard 0"});
    EXPECT_EQ(s.form->core().list().selected(), 0);
    EXPECT_TRUE(s.form->cmdCCID->isEnabled());
    EXPECT_TRUE(s.form->cmdCDC->isEnabled());
    EXPECT_FALSE(s.form->cmdHID->isEnabled());
}

TEST(ScanCycle, CcidIdentitySuffixLengthRules)
{
    // S = " - " + serial + " " + firmware. A firmware read that fails hands
    // back its data as text, which lets the cases pick any even length.
    struct Case {
        const char* what;
        bool listed; // entry "CCID ZN480 R" exists before the tick
        Bytes serial, firmware;
        const char* expected;
    };
    const Bytes fwFails{0x6A, 0x82};
    const Case cases[] = {
        {"new, 6 chars dropped", false, {0xAB, 0x90, 0x00}, fwFails, "CCID ZN480 R"},
        {"new, 8 chars kept", false, {0xAB, 0xCD, 0x90, 0x00}, fwFails, "CCID ZN480 R - ABCD "},
        {"new, 9 chars kept", false, {0x90, 0x00}, {0, 0, 0, 0, 0x90, 0x00}, "CCID ZN480 R -  (0.0)"},
        {"listed, 8 chars not taken", true, {0xAB, 0xCD, 0x90, 0x00}, fwFails, "CCID ZN480 R"},
        {"listed, 9 chars taken", true, {0x90, 0x00}, {0, 0, 0, 0, 0x90, 0x00}, "CCID ZN480 R -  (0.0)"},
        {"listed, full identity", true, {1, 2, 3, 4, 0x90, 0x00}, {0, 2, 0, 0xA6, 0x90, 0x00},
            "CCID ZN480 R - 01020304 (2.166)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScanWorld s;
        s.ccid("ZN480 R");
        s.serialReply = c.serial;
        s.firmwareReply = c.firmware;
        if (c.listed)
            s.preset({"CCID ZN480 R"});
        s.tick();
        EXPECT_EQ(s.entries(), QStringList{c.expected});
        EXPECT_EQ(s.refresh(), c.listed);    // only a new entry stops the refresh
        EXPECT_EQ(s.w.pcsc.open.size(), 0u); // every connection was ended
    }
}

TEST(ScanCycle, CcidWithoutCardListedBareThenGainsSuffixOnce)
{
    ScanWorld s;
    s.ccid("ZN480 R", false);
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{"CCID ZN480 R"});

    s.form->chkRefresh->setChecked(true);
    s.w.pcsc.readers[0].cardPresent = true;
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{QString("CCID ZN480 R") + kSuffix});
    EXPECT_TRUE(s.refresh());
    EXPECT_EQ(s.form->core().session().DevKind, DEVKIND_CCID);

    s.tick();
    EXPECT_EQ(s.entries(), QStringList{QString("CCID ZN480 R") + kSuffix});
}

TEST(ScanCycle, OnlyNewReadersAreFilteredByName)
{
    ScanWorld s;
    s.ccid("ACME Reader 0", false);
    s.ccid("Other 1", false);
    s.preset({"CCID Other 1"});
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{"CCID Other 1"});
    EXPECT_TRUE(s.refresh());
}

TEST(ScanCycle, SerialValuesProbedOnlyWhenNamedUsbserAndDataIsAComPort)
{
    struct Case {
        const char* what;
        std::string name, data;
        bool opens;
        Bytes probe;
        bool probed, listed;
    };
    const std::string nul(1, '\0');
    const Case cases[] = {
        {"cdc reader", "\\Device\\USBSER000", "COM3" + nul, true, kOk, true, true},
        {"not usbser", "\\Device\\Serial0", "COM3" + nul, true, kOk, false, false},
        {"usbser lower case", "\\Device\\usbser000", "COM3" + nul, true, kOk, false, false},
        {"not a com port", "\\Device\\USBSER000", "LPT3" + nul, true, kOk, false, false},
        {"empty data", "\\Device\\USBSER000", "", true, kOk, false, false},
        {"no terminator", "\\Device\\USBSER000", "COM3", true, kOk, false, false},
        {"no number", "\\Device\\USBSER000", "COM" + nul, true, kOk, false, false},
        {"beyond 255", "\\Device\\USBSER000", "COM259" + nul, true, kOk, false, false},
        // Listed as "COM3x ..." it could never be opened again by its entry.
        {"letters after the number", "\\Device\\USBSER000", "COM3x" + nul, true, kOk, false, false},
        {"other status", "\\Device\\USBSER000", "COM3" + nul, true, {0x6A, 0x82}, true, false},
        {"port will not open", "\\Device\\USBSER000", "COM3" + nul, false, kOk, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScanWorld s;
        s.w.serialMap.add(c.name, "");
        s.w.serialMap.values.back().data = c.data;
        s.w.serchan.ports[3] = c.opens;
        s.w.serchan.ports[259] = c.opens;
        s.probeReply[3] = c.probe;
        s.tick();
        EXPECT_EQ(s.entries(), c.listed ? QStringList{QString("COM3 ZN480 CDC") + kSuffix} : QStringList{});
        // Every probe closes its channel, also when it found nothing.
        EXPECT_EQ(s.w.serchan.closes, c.probed ? std::vector<int32_t>{c.opens ? 3 : 0} : std::vector<int32_t>{});
        EXPECT_EQ(s.w.serchan.openPort, 0);
        s.expectIdle();
    }
}

TEST(ScanCycle, SeveralPortsProbedInTurnAndListedOnce)
{
    ScanWorld s;
    s.cdc(3, "\\Device\\USBSER000");
    s.cdc(7, "\\Device\\USBSER001");
    s.probeReply[7] = {0x6A, 0x82};
    s.cdc(9, "\\Device\\USBSER002");
    s.tick();
    EXPECT_EQ(s.entries(), (QStringList{QString("COM3 ZN480 CDC") + kSuffix, QString("COM9 ZN480 CDC") + kSuffix}));
    EXPECT_EQ(s.w.serchan.closes, (std::vector<int32_t>{3, 7, 9}));

    // Already listed: recognised by key, not read again.
    s.form->chkRefresh->setChecked(true);
    const size_t sent = s.w.serchan.sent.size();
    s.tick();
    EXPECT_EQ(s.entries().size(), 2);
    EXPECT_TRUE(s.refresh());
    EXPECT_EQ(s.w.serchan.sent.size(), sent + 3); // three probes, no identity reads
}

TEST(ScanCycle, PortsOfOtherDevicesAreProbedOncePerPlug)
{
    ScanWorld s;
    const std::string nul(1, '\0');
    // COM4: a silent modem of another vendor; COM5: a port with no USB
    // device; COM6: a reader's own port that does not answer this time;
    // COM8: a port the user named; COM9: a reader behind another vendor id.
    auto port = [&](int n, uint16_t vendor, const std::string& instance, bool userNamed = false) {
        s.w.serchan.ports[n] = true;
        s.w.serialMap.add("\\Device\\USBSER00" + std::to_string(n), "COM" + std::to_string(n), vendor, instance);
        s.w.serialMap.values.back().userNamed = userNamed;
        s.probeReply[n] = {0x6A, 0x82};
    };
    port(4, 0x1234, "usb1 1:4");
    port(5, 0, "");
    port(6, 0x6A4E, "usb1 1:6");
    port(8, 0, "", true);
    port(9, 0x0483, "usb1 1:9");
    s.probeReply.erase(9);
    auto probesOf = [&](int n) {
        int count = 0;
        for (int32_t c : s.w.serchan.closes)
            count += c == n;
        return count;
    };
    s.preset({"MSD ZN480 Mass Storage"}); // keeps the box checked while nothing new is added
    s.w.drives.drives.push_back({"e:", DRIVE_TYPE_REMOVABLE, true, {"APDU_314.MSD"}});
    for (int cycle = 0; cycle < 3; ++cycle) {
        s.form->chkRefresh->setChecked(true);
        s.tick();
    }
    EXPECT_EQ(probesOf(4), 1);
    EXPECT_EQ(probesOf(5), 1);
    EXPECT_EQ(probesOf(6), 3);
    EXPECT_EQ(probesOf(8), 3);
    EXPECT_EQ(probesOf(9), 3); // a reader: found on the first plug, and then probed as one
    EXPECT_TRUE(s.entries().contains(QString("COM9 ZN480 CDC") + kSuffix));

    // COM4 is plugged in again (a new device number); COM5 leaves the map
    // for a cycle and comes back.
    s.w.serialMap.values[0].instance = "usb1 1:14";
    const SerialMapValue com5 = s.w.serialMap.values[1];
    s.w.serialMap.values.erase(s.w.serialMap.values.begin() + 1);
    s.form->chkRefresh->setChecked(true);
    s.tick();
    s.w.serialMap.values.insert(s.w.serialMap.values.begin() + 1, com5);
    s.form->chkRefresh->setChecked(true);
    s.tick();
    s.form->chkRefresh->setChecked(true);
    s.tick();
    EXPECT_EQ(probesOf(4), 2);
    EXPECT_EQ(probesOf(5), 2);
    s.expectIdle();
}

// A port that cannot be opened has been sent nothing, so it has not said
// that it is no reader: another program held it, or its entry in the map
// was there before its device (a map that knows no device behind it).
TEST(ScanCycle, PortThatCouldNotBeOpenedIsProbedOnceItOpens)
{
    ScanWorld s;
    s.w.serialMap.add("\\Device\\USBSER000", "COM5", 0, "");
    s.w.serchan.ports[5] = false;
    s.preset({"MSD ZN480 Mass Storage"}); // keeps the box checked while nothing new is added
    s.w.drives.drives.push_back({"e:", DRIVE_TYPE_REMOVABLE, true, {"APDU_314.MSD"}});
    for (int cycle = 0; cycle < 2; ++cycle) {
        s.form->chkRefresh->setChecked(true);
        s.tick();
    }
    EXPECT_FALSE(s.entries().contains(QString("COM5 ZN480 CDC") + kSuffix));
    s.w.serchan.ports[5] = true;
    s.form->chkRefresh->setChecked(true);
    s.tick();
    EXPECT_TRUE(s.entries().contains(QString("COM5 ZN480 CDC") + kSuffix)) << s.entries().join("|").toStdString();
    s.expectIdle();
}

TEST(SerialProbes, VendorIdFromAWindowsDeviceInstanceId)
{
    const struct {
        const char* id;
        uint16_t vendor;
    } cases[] = {
        {"USB\\VID_6A4E&PID_0012\\5&1A2B3C&0&1", 0x6A4E},
        {"USB\\VID_6a4e&PID_0012&MI_00\\6&2&0&0000", 0x6A4E},
        {"FTDIBUS\\VID_0403+PID_6001+A1B2C3D\\0000", 0x0403},
        {"ACPI\\PNP0501\\1", 0},
        {"USB\\VID_6A4", 0},
        {"USB\\VID_6AXE&PID_0012", 0},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VendorFromDeviceId(c.id), c.vendor) << c.id;
}

TEST(ScanCycle, SerialMapThatCannotBeOpenedSkipsTheStage)
{
    ScanWorld s;
    s.cdc(3);
    s.w.serialMap.opens = false;
    QStringList captions;
    s.w.ui.onYield = [&] { captions << s.form->windowTitle(); };
    s.tick();
    EXPECT_TRUE(s.entries().isEmpty());
    EXPECT_FALSE(captions.contains("ZN480 USB Switch - Scanning Serial..."));
}

TEST(ScanCycle, DriveStageCountsOnlyARootHoldingTheMarkerAlone)
{
    struct D {
        std::string entry;
        int type;
        std::vector<std::string> files;
        bool readable;
    };
    struct Case {
        const char* what;
        std::vector<D> drives;
        bool listed;
    };
    const std::vector<std::string> marker{"APDU_314.MSD"};
    const Case cases[] = {
        {"removable with marker", {{"e:", 2, marker, true}}, true},
        {"fixed with marker", {{"c:", 3, marker, true}}, true},
        {"marker and another file", {{"e:", 2, {"APDU_314.MSD", "x.txt"}, true}}, false},
        {"other letter case", {{"e:", 2, {"apdu_314.msd"}, true}}, false},
        {"removable a: never examined", {{"a:", 2, marker, true}}, false},
        {"fixed a: examined", {{"a:", 3, marker, true}}, true},
        {"network drive", {{"z:", 4, marker, true}}, false},
        {"unreadable", {{"e:", 2, marker, false}}, false},
        {"empty root", {{"e:", 2, {}, true}}, false},
        {"unreadable then good", {{"e:", 2, marker, false}, {"f:", 2, marker, true}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScanWorld s;
        for (const D& d : c.drives)
            s.drive(d.entry, d.type, d.files, d.readable);
        s.tick();
        EXPECT_EQ(s.entries(), c.listed ? QStringList{"MSD ZN480 Mass Storage"} : QStringList{});
        EXPECT_EQ(s.refresh(), !c.listed);
    }
}

TEST(ScanCycle, SeveralReaderDrivesGiveOneEntryThatStillStopsTheRefresh)
{
    ScanWorld s;
    s.drive("e:", 2, {"APDU_314.MSD"});
    s.drive("f:", 2, {"APDU_314.MSD"});
    s.drive("g:", 3, {"APDU_314.MSD"});
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{"MSD ZN480 Mass Storage"});
    EXPECT_FALSE(s.refresh());
}

TEST(ScanCycle, HidInterfacesAreRenumberedByPosition)
{
    ScanWorld s;
    s.hid(2);
    s.tick();
    EXPECT_EQ(s.entries(), (QStringList{"HID ZN480 Keyboard 0", "HID ZN480 Keyboard 1"}));

    // The first interface goes away: the remaining one is number 0 now.
    s.form->chkRefresh->setChecked(true);
    s.w.hid.ids.erase(s.w.hid.ids.begin());
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{"HID ZN480 Keyboard 0"});
    EXPECT_TRUE(s.refresh());
}

TEST(ScanCycle, FailedHidSearchLeavesTheHidEntriesAlone)
{
    ScanWorld s;
    s.hid(1);
    s.tick();
    ASSERT_EQ(s.entries(), QStringList{"HID ZN480 Keyboard 0"});

    // The search breaks down for a cycle: nothing is known, nothing changes.
    s.form->chkRefresh->setChecked(true);
    s.w.hid.ok = false;
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{"HID ZN480 Keyboard 0"});
    EXPECT_TRUE(s.refresh());

    // Working again, the entry is the one already listed, not a new one.
    s.w.hid.ok = true;
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{"HID ZN480 Keyboard 0"});
    EXPECT_TRUE(s.refresh());
    s.expectIdle();
}

TEST(ScanCycle, CaptionShowsEachStageWhileTheWindowIsLocked)
{
    ScanWorld s;
    s.ccid("ZN480 A");
    s.cdc(3);
    s.hid(1);
    s.drive("e:", 2, {"APDU_314.MSD"});
    s.preset({"HID ZN480 Keyboard 9"});
    QStringList captions;
    bool alwaysLocked = true;
    auto look = [&] {
        const QString t = s.form->windowTitle();
        if (captions.isEmpty() || captions.back() != t)
            captions << t;
        alwaysLocked = alwaysLocked && s.form->core().lockDepth() == 1 && !s.form->isEnabled();
    };
    s.w.ui.onYield = look;
    s.w.pcsc.beforeList = look; // the first look, before the CCID stage has a caption of its own
    s.tick();
    const QString base = "ZN480 USB Switch";
    EXPECT_EQ(captions,
        (QStringList{base + " - Scanning...", base + " - Scanning CCID...", base + " - Scanning Serial...",
            base + " - Scanning HID...", base + " - Scanning MSD...", base + " - Scanning..."}));
    EXPECT_TRUE(alwaysLocked);
    s.expectIdle();
}

TEST(ScanCycle, TickDuringAYieldDoesNotStartANestedCycle)
{
    ScanWorld s;
    s.ccid("ZN480 A");
    s.hid(2);
    s.preset({"HID ZN480 Keyboard 7"});
    int nested = 0;
    s.w.ui.onYield = [&] {
        ++nested;
        s.tick();
    };
    s.tick();
    EXPECT_GT(nested, 0);
    int connects = 0;
    for (const std::string& call : s.w.pcsc.calls)
        connects += call.rfind("connect:", 0) == 0;
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(s.w.hid.calls, 1);
    EXPECT_EQ(
        s.entries(), (QStringList{QString("CCID ZN480 A") + kSuffix, "HID ZN480 Keyboard 0", "HID ZN480 Keyboard 1"}));
    s.expectIdle();

    // Once the cycle is over, the next tick scans again.
    s.w.ui.onYield = nullptr;
    s.form->chkRefresh->setChecked(true);
    s.tick();
    EXPECT_EQ(s.w.hid.calls, 2);
}

TEST(ScanTrigger, EventsOfOneBurstShareOneCycle)
{
    ScanTrigger t(50);
    EXPECT_FALSE(t.take(1000)); // nothing open
    EXPECT_TRUE(t.note(1000));  // opens a burst: arm the timer
    EXPECT_EQ(t.dueInMs(1000), 50u);
    EXPECT_FALSE(t.note(1010)); // joins it
    EXPECT_FALSE(t.note(1049));
    EXPECT_EQ(t.dueInMs(1030), 20u);
    EXPECT_FALSE(t.take(1048)); // a timer that fired early
    EXPECT_TRUE(t.take(1050));
    EXPECT_FALSE(t.pending());
    EXPECT_FALSE(t.take(1100)); // one cycle per burst
    EXPECT_TRUE(t.note(1200));  // the next event opens the next burst
    // The tick count wraps every 2^32 ms.
    ScanTrigger w(50);
    EXPECT_TRUE(w.note(0xFFFFFFF0u));
    EXPECT_EQ(w.dueInMs(0x00000010u), 18u);
    EXPECT_TRUE(w.take(0x00000022u));
}

// Spins the window's event loop until its burst timer has had time to fire.
void settle(ScanWorld& s, int realMs = 120)
{
    s.w.clock.now += 1000; // the burst window has passed on the window's clock
    QEventLoop loop;
    QTimer::singleShot(realMs, &loop, &QEventLoop::quit);
    loop.exec();
}

TEST(ScanCycle, BurstOfDeviceEventsRunsOneCycle)
{
    ScanWorld s;
    s.hid(1);
    for (int i = 0; i < 5; ++i)
        s.form->deviceChanged();
    settle(s);
    EXPECT_EQ(s.w.hid.calls, 1);
    EXPECT_EQ(s.entries(), QStringList{"HID ZN480 Keyboard 0"});
    s.expectIdle();

    // Unchecked box: events scan no more than ticks do...
    ASSERT_FALSE(s.refresh());
    s.form->deviceChanged();
    settle(s);
    EXPECT_EQ(s.w.hid.calls, 1);
    // ...but the change is looked at as soon as the box is checked again,
    // not only at the next tick.
    s.form->chkRefresh->setChecked(true);
    settle(s);
    EXPECT_EQ(s.w.hid.calls, 2);
    // Checked once more without a change since: nothing to look at early.
    s.form->chkRefresh->setChecked(false);
    s.form->chkRefresh->setChecked(true);
    settle(s);
    EXPECT_EQ(s.w.hid.calls, 2);
}

TEST(ScanCycle, DeviceEventDuringACycleRunsAnotherAfterIt)
{
    ScanWorld s;
    s.hid(1);
    s.preset({"HID ZN480 Keyboard 0"}); // already listed: the box stays checked
    bool once = false;
    s.w.hid.beforeList = [&] {
        if (!once) {
            once = true;
            s.form->deviceChanged();
            settle(s, 80);
        }
    };
    s.form->deviceChanged();
    settle(s);
    settle(s);
    // The event came while the first cycle looked at HID: the second cycle
    // runs once that one is over, and only then.
    EXPECT_EQ(s.w.hid.calls, 2);
    s.expectIdle();
}

struct ThrowingHid : HidEnumerator {
    bool listReaderIds(std::vector<std::string>&) override { throw std::runtime_error("service gone"); }
};

TEST(ScanCycle, FailingServicesEndOnlyTheirStage)
{
    ThrowingHid hid;
    ScanWorld s([&](Services& svc) { svc.hid = &hid; });
    s.w.pcsc.establishResult = pcsc::E_NO_SERVICE; // PC/SC unreachable: no readers
    s.cdc(3);
    s.drive("e:", 2, {"APDU_314.MSD"});
    s.preset({"CCID ZN480 A"});
    s.tick();
    EXPECT_EQ(s.entries(), (QStringList{QString("COM3 ZN480 CDC") + kSuffix, "MSD ZN480 Mass Storage"}));
    s.expectIdle();

    s.form->chkRefresh->setChecked(true);
    s.w.serialMap.values.clear();
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{"MSD ZN480 Mass Storage"});
    s.expectIdle();
}

TEST(ScanCycle, FailureOutsideAStageStillUnlocksTheWindow)
{
    ScanWorld s;
    s.hid(1);
    s.preset({"CCID ZN480 A"});
    s.w.ui.onYield = [] { throw std::runtime_error("event handler failed"); };
    EXPECT_NO_THROW(s.tick()); // nothing escapes into the event loop
    s.expectIdle();

    s.w.ui.onYield = nullptr;
    s.tick();
    EXPECT_EQ(s.entries(), QStringList{"HID ZN480 Keyboard 0"});
}

TEST(IsUsableDrive, RemovableExceptAOrFixed)
{
    struct Case {
        const char* entry;
        int type;
        bool usable;
    };
    const Case cases[] = {
        {"a:", 2, false},
        {"a:", 3, true},
        {"b:", 2, true},
        {"e:", 2, true},
        {"c:", 3, true},
        {"d:", 5, false},
        {"z:", 4, false},
        {"q:", 1, false},
        {"A:", 2, true},
    };
    ScanWorld s;
    for (const Case& c : cases) {
        s.w.drives.drives = {{c.entry, c.type, true, {}}};
        EXPECT_EQ(s.form->core().IsUsableDrive(c.entry), c.usable) << c.entry << " type " << c.type;
    }
}

TEST(UpdateDrive, UnreadableDriveGivesFalseAndNoFiles)
{
    ScanWorld s;
    s.drive("e:", 2, {"a", "b"});
    s.drive("f:", 2, {"c"}, false);
    std::vector<std::string> files{"stale"};
    EXPECT_TRUE(s.form->core().UpdateDrive("e:", files));
    EXPECT_EQ(files, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(s.form->core().UpdateDrive("f:", files));
    EXPECT_TRUE(files.empty());
}

} // namespace
} // namespace tarvex
