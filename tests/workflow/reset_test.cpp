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
        w.form->core().session().DevKind = kind;
        EXPECT_TRUE(w.form->core().ResetDevice());
    }
    EXPECT_TRUE(w.fakes.launcher.started.empty());
}

TEST(HidReset, RefusesWhileAnotherReaderIsListed)
{
    World w;
    w.form->core().list().append(kCdcEntry);
    w.select(kHidEntry);
    w.form->core().FillFrom();
    EXPECT_FALSE(w.form->core().ResetDevice());
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
    w.form->core().session().DevKind = DEVKIND_HID;
    EXPECT_TRUE(w.form->core().ResetHIDDevice());
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
    EXPECT_FALSE(w.form->core().ResetHIDDevice());
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
    EXPECT_FALSE(w.form->core().ResetHIDDevice());
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
    w.form->core().FillFrom();
    // Reader leaves HID but the scan never finds it again.
    EXPECT_FALSE(w.form->core().ResetDevice());
    ASSERT_EQ(w.fakes.ui.messages.size(), 1);
    EXPECT_TRUE(w.fakes.ui.messages[0].contains("did not reappear"));
}

// The reader leaves HID after the tool's first run and comes back as the
// CDC reader on COM3, which the real scan cycle finds whenever the window
// yields with the box checked.
struct HidReturnsAsCdc {
    World w;
    HidReturnsAsCdc()
    {
        w.fakes.pcsc.readers.clear();
        w.fakes.hid.ids = {kHidId};
        w.fakes.launcher.onStart = [this] {
            if (w.fakes.hid.ids.empty())
                return;
            w.fakes.hid.ids.clear();
            w.fakes.serialMap.add("\\Device\\USBSER000", "COM3");
        };
        w.fakes.ui.onYield = [this] { w.form->tmrUpdates_Timer(); };
        w.select(kHidEntry);
    }
    void expectSwitchedToCdc()
    {
        EXPECT_EQ(w.fakes.launcher.started.size(), 2u);
        EXPECT_EQ(w.commands(),
            (std::vector<std::string>{"FFCAE00000", "FFCAF00004", "FFCAE00004", "FFCAF00004",
                "FEDD02000A01FE01020304AFF5A6FE", "FFFEFC0000"}));
        EXPECT_EQ(w.fakes.ui.messages, QStringList{"Operation completed with success!"});
        EXPECT_EQ(w.form->core().list().count(), 0);
        EXPECT_EQ(w.form->core().lockDepth(), 0);
    }
};

TEST(HidReset, HidToCdcThroughResetOpensTheReappearedReader)
{
    // The box is unchecked until the reset checks it: the reader is listed
    // again only after the reset's own waits. Its transport comes from the
    // new entry (the scan's own DevKind is not the workflow's).
    HidReturnsAsCdc h;
    h.w.form->chkRefresh->setChecked(false);
    h.w.form->cmdCDC_Click();
    h.expectSwitchedToCdc();
}

TEST(HidReset, ReaderListedAgainDuringTheResetsOwnWaitsIsTakenFromTheList)
{
    // With the box checked all along, a cycle during the seven seconds
    // between the tool's runs lists the reader back and clears the box; no
    // further cycle will add it again.
    HidReturnsAsCdc h;
    h.w.form->chkRefresh->setChecked(true);
    h.w.form->cmdCDC_Click();
    h.expectSwitchedToCdc();
}

TEST(HidReset, FailedHidSearchIsNotTakenForTheReaderHavingLeft)
{
    World w;
    w.fakes.hid.ids = {kHidId};
    w.fakes.launcher.onStart = [&] { w.fakes.hid.ok = false; }; // the search breaks down
    w.form->core().session().DevKind = DEVKIND_HID;
    EXPECT_FALSE(w.form->core().ResetHIDDevice());
    EXPECT_EQ(w.fakes.ui.messages, QStringList{"HID clear operation failed."});
}
