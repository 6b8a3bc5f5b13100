#include "world.h"
#include <gtest/gtest.h>

using namespace tarvex;
using namespace tarvex::testing;

namespace {
const char* kHidId = "HID\\VID_6A4E&PID_0013\\7&1";
}

TEST(HidReset, OtherPersonalitiesPassStraightThrough)
{
    World w;
    for (int16_t kind : {DEVKIND_CCID, DEVKIND_CDC}) {
        w.form->DevKind = kind;
        EXPECT_TRUE(w.form->ResetDevice());
    }
    EXPECT_TRUE(w.fakes.launcher.started.empty());
}

TEST(HidReset, RefusesWhileAnotherReaderIsListed)
{
    World w;
    w.form->appendEntry(kCdcEntry);
    w.select(kHidEntry);
    w.form->FillFrom();
    EXPECT_FALSE(w.form->ResetDevice());
    EXPECT_EQ(w.fakes.ui.messages,
              QStringList{"Due to how HID devices are handled it is required to remove the other "
                          "ZN480 present and try again. Only the HID device must be present in the list."});
    EXPECT_TRUE(w.fakes.launcher.started.empty());
}

TEST(HidReset, StartsToolTwiceSevenSecondsApartEvenIfReaderLeftEarly)
{
    World w;
    w.fakes.hid.ids = {kHidId};
    w.fakes.launcher.onStart = [&] { w.fakes.hid.ids.clear(); }; // gone after the first run
    w.form->DevKind = DEVKIND_HID;
    EXPECT_TRUE(w.form->ResetHIDDevice());
    ASSERT_EQ(w.fakes.launcher.started.size(), 2u);
    EXPECT_EQ(w.fakes.launcher.started[0], w.fakes.services().kbflashPath);
    EXPECT_GE(w.fakes.launcher.startTimes[1] - w.fakes.launcher.startTimes[0], 7000u);
    // Gone on the first look after the second start: no further polling.
    EXPECT_EQ(w.fakes.hid.calls, 1);
    EXPECT_EQ(w.form->windowTitle(), "ZN480 USB Switch");
}

TEST(HidReset, ToolMissingIsReportedAndCaptionRestored)
{
    World w;
    w.fakes.launcher.canStart = false;
    EXPECT_FALSE(w.form->ResetHIDDevice());
    ASSERT_EQ(w.fakes.ui.messages.size(), 1);
    EXPECT_TRUE(w.fakes.ui.messages[0].startsWith("Failed to find kbflash"));
    EXPECT_EQ(w.form->windowTitle(), "ZN480 USB Switch");
}

TEST(HidReset, ReaderThatStaysInHidFailsAfterTenSeconds)
{
    World w;
    w.fakes.hid.ids = {kHidId};
    QStringList captions;
    w.fakes.ui.onYield = [&] { captions << w.form->windowTitle(); };
    EXPECT_FALSE(w.form->ResetHIDDevice());
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"HID clear operation failed."});
    EXPECT_TRUE(captions.contains("ZN480 USB Switch - Resetting HID device..."));
    EXPECT_EQ(w.form->windowTitle(), "ZN480 USB Switch");
    // Polled every 200 ms for 10 s after the second start.
    EXPECT_GE(w.fakes.hid.calls, 45);
    EXPECT_LE(w.fakes.hid.calls, 52);
}

TEST(HidReset, ReaderThatNeverReappearsEndsTheWaitWithAMessage)
{
    World w;
    w.select(kHidEntry);
    w.form->FillFrom();
    // Reader leaves HID but the scan never finds it again.
    EXPECT_FALSE(w.form->ResetDevice());
    ASSERT_EQ(w.fakes.ui.messages.size(), 1);
    EXPECT_TRUE(w.fakes.ui.messages[0].contains("did not reappear"));
}

TEST(HidReset, HidToCdcThroughResetOpensTheReappearedReader)
{
    World w;
    w.fakes.hid.ids = {kHidId};
    w.fakes.launcher.onStart = [&] { w.fakes.hid.ids.clear(); };
    // A scan cycle while the box is checked finds the reader back as COM3.
    w.fakes.ui.onYield = [&] {
        if (!w.form->chkRefresh->isChecked() || !w.fakes.hid.ids.empty() ||
            w.fakes.launcher.started.size() < 2)
            return;
        delete w.form->lstZN->takeItem(0);
        w.form->appendEntry(kCdcEntry);
        w.form->DevKind = DEVKIND_CDC;
        w.form->chkRefresh->setChecked(false);
    };
    w.select(kHidEntry);
    w.form->cmdCDC_Click();

    EXPECT_EQ(w.fakes.launcher.started.size(), 2u);
    EXPECT_EQ(w.commands(),
              (std::vector<std::string>{"FFCAF00004", "FEDD02000A01FE01020304AFF5A6FE", "FFFEFC0000"}));
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"Operation completed with success!"});
    EXPECT_EQ(w.form->entryCount(), 0);
    EXPECT_EQ(w.form->lockDepth(), 0);
}
