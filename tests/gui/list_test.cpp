#include "harness.h"
#include <gtest/gtest.h>

namespace tarvex::guitest {

TEST(DeviceList, KeyIsTheTextBeforeTheFirstSeparator)
{
    struct Case {
        const char* text;
        const char* key;
    } cases[] = {
        {"CCID ZN480 Sim 0", "CCID ZN480 Sim 0"},
        {"CCID ZN480 Sim 0 - 01020304 (2.166)", "CCID ZN480 Sim 0"},
        {"COM3 ZN480 CDC - 01020304 (2.166)", "COM3 ZN480 CDC"},
        {"CCID ZN480 - Sim 00 00 - 01020304 (2.166)", "CCID ZN480"}, // " - " in a name
        {"HID ZN480 Keyboard 0", "HID ZN480 Keyboard 0"},
        {"CCID A -B", "CCID A -B"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FilterExtra(c.text), c.key) << c.text;
}

TEST(DeviceList, CheckListFindsTheFirstEntryWithAnEqualKey)
{
    Gui g;
    EXPECT_EQ(g.form->core().CheckList("CCID ZN480 Sim 0"), -1); // empty list
    g.form->core().list().append("COM3 ZN480 CDC - 01020304 (2.166)");
    g.form->core().list().append("CCID ZN480 Sim 0");
    g.form->core().list().append("CCID ZN480 Sim 0 - 0A0B0C0D (2.166)");
    struct Case {
        const char* key;
        int index;
    } cases[] = {
        {"COM3 ZN480 CDC", 0},
        {"CCID ZN480 Sim 0", 1},
        {"ccid zn480 sim 0", -1},                  // case-sensitive
        {"COM3 ZN480 CDC - 01020304 (2.166)", -1}, // whole text is not a key
        {"COM3", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(g.form->core().CheckList(c.key), c.index) << c.key;
}

TEST(DeviceList, ButtonsAndDevKindFollowTheSelectedEntry)
{
    // Buttons as CCID/CDC/HID enabled; DevKind from FillFrom (7 = left alone).
    struct Case {
        const char* text;
        const char* buttons;
        int devKind;
    } cases[] = {
        {"CCID ZN480 Sim 0", "111", 0},
        {"CCID ZN480 Sim 0 - 01020304 (2.166)", "111", 0},
        {"COM3 ZN480 CDC - 01020304 (2.166)", "101", 1},
        {"HID ZN480 Keyboard 0", "110", 3},
        {"MSD ZN480 Mass Storage", "111", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Gui g;
        g.form->core().list().append("HID ZN480 Keyboard 9");
        g.select(c.text);
        std::string b;
        for (QPushButton* p : {g.form->cmdCCID, g.form->cmdCDC, g.form->cmdHID})
            b += p->isEnabled() ? '1' : '0';
        EXPECT_EQ(b, c.buttons);
        g.form->core().session().DevKind = 7;
        g.form->core().FillFrom();
        EXPECT_EQ(g.form->core().session().DevKind, c.devKind);
    }
}

TEST(DeviceList, UserSelectionAndRemovalUpdateTheButtons)
{
    Gui g;
    g.form->core().list().append("COM3 ZN480 CDC - 01020304 (2.166)");
    g.form->core().list().append("HID ZN480 Keyboard 0");
    g.form->lstZN->setCurrentRow(1); // as a click does
    EXPECT_EQ(g.form->core().list().selected(), 1);
    EXPECT_TRUE(g.form->cmdCDC->isEnabled());
    EXPECT_FALSE(g.form->cmdHID->isEnabled());
    g.list().remove(1); // as a scan that no longer finds the reader does
    EXPECT_EQ(g.form->core().list().selected(), -1);
    EXPECT_FALSE(g.form->cmdCCID->isEnabled() || g.form->cmdCDC->isEnabled() || g.form->cmdHID->isEnabled());
}

TEST(DeviceList, ClearSelRemovesTheSelectionAndDisablesTheButtons)
{
    Gui g;
    g.form->core().ClearSel(); // nothing selected: stays so
    EXPECT_EQ(g.form->core().list().selected(), -1);
    g.select("CCID ZN480 Sim 0");
    EXPECT_TRUE(g.form->cmdCCID->isEnabled());
    g.form->core().ClearSel();
    EXPECT_EQ(g.form->core().list().selected(), -1);
    EXPECT_FALSE(g.form->cmdCCID->isEnabled() || g.form->cmdCDC->isEnabled() || g.form->cmdHID->isEnabled());
    g.form->core().session().DevKind = 1;
    g.form->core().FillFrom(); // no selection: DevKind kept
    EXPECT_EQ(g.form->core().session().DevKind, 1);
}

TEST(DeviceList, SettingTheSameIndexStillRunsTheClickHandler)
{
    Gui g;
    g.select("CCID ZN480 Sim 0");
    g.form->Buttons(false, false, false);
    g.form->core().list().select(0);
    EXPECT_TRUE(g.form->cmdCCID->isEnabled());
    g.form->core().list().select(5); // out of range: no selection
    EXPECT_EQ(g.form->core().list().selected(), -1);
    EXPECT_FALSE(g.form->cmdCCID->isEnabled());
}

TEST(DeviceList, EntriesKeepOrderTextAndScanMark)
{
    Gui g;
    EXPECT_EQ(g.form->core().list().append("B"), 0);
    EXPECT_EQ(g.form->core().list().append("A"), 1);
    EXPECT_EQ(g.form->core().list().mark(1), Unseen);
    g.form->core().list().setMark(1, Added);
    g.form->core().list().setMark(0, Seen);
    g.form->core().list().setText(1, "A - 01020304 (2.166)");
    EXPECT_EQ(g.form->core().list().text(0), "B");
    EXPECT_EQ(g.form->core().list().text(1), "A - 01020304 (2.166)");
    EXPECT_EQ(g.form->core().list().mark(0), Seen);
    EXPECT_EQ(g.form->core().list().mark(1), Added); // survives a text change
    EXPECT_EQ(g.form->core().list().text(9), "");    // out of range reads as empty
    EXPECT_EQ(g.form->core().list().mark(-1), Unseen);
}

} // namespace tarvex::guitest
