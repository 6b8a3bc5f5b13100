#include "harness.h"
#include <gtest/gtest.h>

namespace tarvex::guitest {

namespace {

const QString kPrompt = "CCID devices require a valid card present to be connected, please put a supported "
                        "contactless card over the reader.";

struct CcidReader : Gui {
    explicit CcidReader(const char* firmware = "000200A6")
    {
        answers["FFCAF00004"] = hexBytes("010203049000");
        answers["FFCAE00004"] = hexBytes(std::string(firmware) + "9000");
        form->core().session().DevKind = DEVKIND_CCID;
    }
    int exclusiveConnects() const
    {
        int n = 0;
        for (const auto& c : world.pcsc.calls)
            n += c == std::string("connect:") + kReader + ":1";
        return n;
    }
};

} // namespace

TEST(DeviceConnection, CcidEntryWithoutSuffixGainsItAndIsChecked)
{
    struct Case {
        const char* fw;
        bool result;
        const char* suffix;
        bool message;
    } cases[] = {
        {"000200A6", true, " - 01020304 (2.166)", false},
        {"000200A5", false, " - 01020304 (2.165)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fw);
        CcidReader r(c.fw);
        r.form->core().list().append("HID ZN480 Keyboard 0");
        r.select(std::string("CCID ") + kReader);
        EXPECT_EQ(r.form->core().OpenDevice(), c.result);
        EXPECT_EQ(r.form->core().list().text(1), std::string("CCID ") + kReader + c.suffix);
        EXPECT_EQ(r.pcscSent(), (std::vector<std::string>{"FFCAF00004", "FFCAE00004"}));
        EXPECT_EQ(r.world.ui.messages.size(), c.message ? 1 : 0);
        EXPECT_NE(r.form->core().session().smart().cardHandle(), 0u); // open until CloseDevice
        r.form->core().CloseDevice();
        EXPECT_EQ(r.world.pcsc.calls.back(), "disconnect");
    }
}

TEST(DeviceConnection, CcidEntryWithSuffixOpensWithoutReadingIdentity)
{
    CcidReader r("000100A6"); // would fail the version check if read
    const std::string text = std::string("CCID ") + kReader + " - 01020304 (2.166)";
    r.select(text);
    EXPECT_TRUE(r.form->core().OpenDevice());
    EXPECT_TRUE(r.pcscSent().empty());
    EXPECT_EQ(r.form->core().list().text(0), text);
    EXPECT_EQ(r.exclusiveConnects(), 1);
}

TEST(DeviceConnection, CardPromptRepeatsUntilCancel)
{
    CcidReader r;
    r.world.pcsc.readers[0].cardPresent = false;
    r.world.ui.answers = {true, true, false};
    r.select(std::string("CCID ") + kReader);
    EXPECT_FALSE(r.form->core().OpenDevice());
    EXPECT_EQ(r.world.ui.messages, (QStringList{kPrompt, kPrompt, kPrompt}));
    EXPECT_EQ(r.exclusiveConnects(), 3);
    EXPECT_EQ(r.form->core().list().text(0), std::string("CCID ") + kReader);
}

TEST(DeviceConnection, CardPresentedAfterPromptConnects)
{
    CcidReader r;
    r.world.pcsc.readers[0].cardPresent = false;
    r.world.ui.onYield = nullptr;
    r.select(std::string("CCID ") + kReader + " - 01020304 (2.166)");
    // The user puts a card on the reader, then presses OK.
    struct CardOnOk : testing::FakeUi {
        fakes::FakePcsc* pcsc = nullptr;
        bool messageBox(const QString& t, bool okCancel) override
        {
            pcsc->readers[0].cardPresent = true;
            return FakeUi::messageBox(t, okCancel);
        }
    } ui;
    ui.pcsc = &r.world.pcsc;
    frmMain f(r.world.services(), ui);
    f.tmrUpdates->stop();
    f.core().session().smart().InitSmart();
    f.core().session().DevKind = DEVKIND_CCID;
    f.core().list().select(f.core().list().append(std::string("CCID ") + kReader + " - 01020304 (2.166)"));
    EXPECT_TRUE(f.core().OpenDevice());
    EXPECT_EQ(ui.messages.size(), 1);
}

TEST(DeviceConnection, CcidReaderNoLongerListedIsNotOpened)
{
    CcidReader r;
    r.world.pcsc.readers.push_back({"ZN480 Other 0"});
    r.form->core().session().smart().ListReaders();
    r.form->core().session().smart().SelectReader("ZN480 Other 0");
    r.select("CCID ZN480 Gone 0 - 01020304 (2.166)");
    EXPECT_FALSE(r.form->core().OpenDevice());
    EXPECT_EQ(r.exclusiveConnects(), 0);
    EXPECT_TRUE(r.world.ui.messages.isEmpty());
}

TEST(DeviceConnection, CdcEntryOpensItsPort)
{
    struct Case {
        const char* entry;
        int32_t port;
        bool opens;
        bool result;
    } cases[] = {
        {"COM12 ZN480 CDC - 01020304 (2.166)", 12, true, true},
        {"COM3 ZN480 CDC", 3, true, true},
        {"COM12 ZN480 CDC - 01020304 (2.166)", 12, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        Gui g;
        g.world.serchan.ports[c.port] = c.opens;
        g.form->core().session().DevKind = DEVKIND_CDC;
        g.select(c.entry);
        EXPECT_EQ(g.form->core().OpenDevice(), c.result);
        EXPECT_EQ(g.form->core().session().ChannelHandle, c.opens ? c.port : 0);
        EXPECT_EQ(g.world.serchan.openPort, c.opens ? c.port : 0);
        g.form->core().CloseDevice();
        EXPECT_EQ(g.world.serchan.closes, std::vector<int32_t>{c.opens ? c.port : 0});
        EXPECT_EQ(g.form->core().session().ChannelHandle, c.opens ? c.port : 0); // a close keeps it
    }
}

TEST(DeviceConnection, EntriesWithoutAnAddressOpenNothing)
{
    struct Case {
        int16_t kind;
        const char* entry;
    } cases[] = {
        {DEVKIND_CDC, "COM12"},          // no space
        {DEVKIND_CDC, "COMx ZN480 CDC"}, // port not a number
        {DEVKIND_CDC, "COM ZN480 CDC"},  // no digits
        {DEVKIND_CDC, "COM-3 ZN480 CDC"},
        {DEVKIND_CDC, "MSD ZN480 Mass Storage"},
        {DEVKIND_CCID, "CCI"},
        {DEVKIND_CCID, "CCID "}, // empty reader name
        {DEVKIND_HID, "HID ZN480 Keyboard 0"},
        {7, "CCID ZN480 Sim 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        Gui g;
        g.world.serchan.ports[12] = true;
        g.form->core().session().ChannelHandle = 9;
        g.form->core().session().DevKind = c.kind;
        g.select(c.entry);
        EXPECT_FALSE(g.form->core().OpenDevice());
        EXPECT_EQ(g.world.serchan.openPort, 0);
        EXPECT_EQ(g.form->core().session().ChannelHandle, 9);
        EXPECT_TRUE(g.world.ui.messages.isEmpty());
        g.form->core().CloseDevice();
        if (c.kind != DEVKIND_CDC) {
            EXPECT_TRUE(g.world.serchan.closes.empty());
        }
    }
    Gui g; // no selection at all
    g.world.serchan.ports[12] = true;
    g.form->core().session().DevKind = DEVKIND_CDC;
    g.form->core().list().append("COM12 ZN480 CDC");
    EXPECT_FALSE(g.form->core().OpenDevice());
    EXPECT_EQ(g.world.serchan.openPort, 0);
}

TEST(DeviceConnection, SerialProbe)
{
    struct Case {
        int32_t port;
        bool opens;
        const char* answer;
        bool result;
        int32_t handle;
        size_t sends;
    } cases[] = {
        {5, true, "12349000", true, 5, 1},
        {5, true, "6A82", false, 5, 1},  // channel stays open for the caller to close
        {5, true, "", false, 5, 1},      // no answer within the time-out
        {5, false, "9000", false, 0, 0}, // port cannot be opened: nothing sent
        {0, false, "9000", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        Gui g;
        g.world.serchan.ports[c.port] = c.opens;
        g.answers["FFCAE00000"] = hexBytes(c.answer);
        g.form->core().session().DevKind = DEVKIND_HID; // the probe does not depend on it
        EXPECT_EQ(g.form->core().session().CheckZnSerial(c.port), c.result);
        EXPECT_EQ(g.form->core().session().ChannelHandle, c.handle);
        EXPECT_EQ(g.world.serchan.sent.size(), c.sends);
        if (c.sends) {
            EXPECT_EQ(g.world.serchan.sent[0], "FFCAE00000");
        }
        EXPECT_TRUE(g.world.serchan.closes.empty());
        EXPECT_EQ(g.world.serchan.openPort, c.opens ? c.port : 0);
    }
}

} // namespace tarvex::guitest
