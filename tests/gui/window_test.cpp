#include "frmCCIDmode.h"
#include "frmHIDmode.h"
#include "harness.h"
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace tarvex::guitest {

TEST(MainWindow, StartsWithCaptionControlsAndStates)
{
    Gui g;
    frmMain& f = *g.form;
    EXPECT_EQ(f.windowTitle(), "ZN480 USB Switch");
    EXPECT_EQ(f.BaseCaption, "ZN480 USB Switch");
    EXPECT_EQ(f.cmdCCID->text(), "To CCID");
    EXPECT_EQ(f.cmdCDC->text(), "To CDC");
    EXPECT_EQ(f.cmdHID->text(), "To HID");
    EXPECT_EQ(f.chkRefresh->text(), "Refresh devices until there are changes.");
    EXPECT_FALSE(f.cmdCCID->isEnabled());
    EXPECT_FALSE(f.cmdCDC->isEnabled());
    EXPECT_FALSE(f.cmdHID->isEnabled());
    EXPECT_TRUE(f.chkRefresh->isChecked());
    EXPECT_EQ(f.core().list().count(), 0);
    EXPECT_EQ(f.core().list().selected(), -1);
    EXPECT_EQ(f.lstZN->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(f.lstZN->isSortingEnabled());
    EXPECT_EQ(f.core().session().DevKind, 0);
    EXPECT_EQ(f.core().session().ChannelHandle, 0);
    EXPECT_EQ(f.core().lockDepth(), 0);
    EXPECT_TRUE(f.isEnabled());
}

TEST(MainWindow, TimerTicksEveryTwoSecondsFromCreation)
{
    testing::WindowFakes w;
    app();
    frmMain f(w.services(), w.ui);
    EXPECT_TRUE(f.tmrUpdates->isActive());
    EXPECT_EQ(f.tmrUpdates->interval(), 2000);
    EXPECT_FALSE(f.tmrUpdates->isSingleShot());
}

TEST(MainWindow, TabOrderFollowsTheLayout)
{
    Gui g;
    frmMain& f = *g.form;
    const QList<QWidget*> controls{f.lstZN, f.cmdCCID, f.cmdCDC, f.cmdHID, f.chkRefresh};
    // The focus chain also holds the list's inner widgets; keep ours only.
    QList<QWidget*> order;
    QWidget* w = f.lstZN;
    do {
        if (controls.contains(w))
            order << w;
        w = w->nextInFocusChain();
    } while (w != f.lstZN && order.size() < controls.size());
    EXPECT_EQ(order, controls);
}

TEST(MainWindow, ControlsSitAtTheirTwipsPositionsScaledByDpi)
{
    Gui g;
    frmMain& f = *g.form;
    const double sx = f.logicalDpiX() / 1440.0, sy = f.logicalDpiY() / 1440.0;
    struct Case {
        QWidget* w;
        int l, t, wd, h;
    } cases[] = {
        {f.lstZN, 120, 120, 4215, 1230},
        {f.cmdCCID, 120, 1440, 1335, 495},
        {f.cmdCDC, 1560, 1440, 1335, 495},
        {f.cmdHID, 3000, 1440, 1335, 495},
        {f.chkRefresh, 120, 2040, 4215, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.w->objectName().toStdString());
        const QRect r = c.w->geometry();
        EXPECT_NEAR(r.left(), c.l * sx, 1.0);
        EXPECT_NEAR(r.top(), c.t * sy, 1.0);
        EXPECT_NEAR(r.width(), c.wd * sx, 1.0);
        EXPECT_NEAR(r.height(), c.h * sy, 1.0);
        EXPECT_TRUE(QRect(QPoint(0, 0), f.size()).contains(r));
    }
    EXPECT_NEAR(f.width(), 4455 * sx, 1.0);
    EXPECT_NEAR(f.height(), 2385 * sy, 1.0);
    EXPECT_EQ(f.minimumSize(), f.maximumSize()); // fixed size
}

TEST(MainWindow, LockNestsAndNeverGoesNegative)
{
    // Sequence of L(ock)/U(nlock) with the enabled state after each step.
    struct Case {
        const char* steps;
        const char* enabledAfter;
        int depth;
    } cases[] = {
        {"L", "0", 1},
        {"LU", "01", 0},
        {"LLU", "000", 1},
        {"LLUU", "0001", 0},
        {"U", "1", 0},
        {"UL", "10", 1}, // a stray unlock does not let the next lock slip
        {"LUUL", "0110", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        Gui g;
        std::string seen;
        for (const char* s = c.steps; *s; ++s) {
            if (*s == 'L')
                g.form->LockForm();
            else
                g.form->UnlockForm();
            seen += g.form->isEnabled() ? '1' : '0';
        }
        EXPECT_EQ(seen, c.enabledAfter);
        EXPECT_EQ(g.form->core().lockDepth(), c.depth);
    }
}

TEST(MainWindow, ButtonsKeepTheirStateAcrossALock)
{
    Gui g;
    frmMain& f = *g.form;
    f.Buttons(true, false, true);
    f.LockForm();
    EXPECT_FALSE(f.cmdCCID->isEnabled());
    EXPECT_FALSE(f.lstZN->isEnabled());
    f.UnlockForm();
    EXPECT_TRUE(f.cmdCCID->isEnabled());
    EXPECT_FALSE(f.cmdCDC->isEnabled());
    EXPECT_TRUE(f.cmdHID->isEnabled());
    f.Buttons(false, false, false);
    EXPECT_FALSE(f.cmdCCID->isEnabled() || f.cmdCDC->isEnabled() || f.cmdHID->isEnabled());
    EXPECT_TRUE(f.lstZN->isEnabled());
    EXPECT_TRUE(f.chkRefresh->isEnabled());
}

TEST(MainWindow, ProgressCaptionAndRestore)
{
    Gui g;
    g.form->setProgress(" - Scanning...");
    EXPECT_EQ(g.form->windowTitle(), "ZN480 USB Switch - Scanning...");
    g.form->restoreCaption();
    EXPECT_EQ(g.form->windowTitle(), "ZN480 USB Switch");
}

TEST(MainWindow, CloseClosesTheSerialChannelWithItsHandle)
{
    for (int32_t handle : {0, 7}) {
        SCOPED_TRACE(handle);
        Gui g;
        g.form->core().session().ChannelHandle = handle;
        g.form->show();
        EXPECT_TRUE(g.form->close());
        EXPECT_EQ(g.world.serchan.closes, std::vector<int32_t>{handle});
        EXPECT_FALSE(g.form->tmrUpdates->isActive());
    }
    app().setProperty(kEndRequestedProperty, QVariant());
}

namespace {

// The program's window and its Qt seam over a reader port whose probe does
// not come back: the write inside SCSend stays in the driver (a reader that
// takes no bytes) for longer than anybody waits. The window is closed while
// the scan's worker is in there. Ends the process: status 0 from the close,
// 3 when the worker came back first, 4 when the scan cycle returned.
[[noreturn]] void closeWhileAProbeIsStuck()
{
    struct Stuck : fakes::FakeSerchan {
        int32_t send(int32_t, const uint8_t*, uint32_t) override
        {
            std::this_thread::sleep_for(std::chrono::seconds(8));
            std::_Exit(3);
        }
    };
    app();
    fakes::FakeWorld world;
    world.clock.autoAdvance = 1;
    Stuck stuck;
    stuck.ports[3] = true;
    world.serialMap.add("\\Device\\USBSER000", "COM3");
    Services services = world.services();
    services.serchan = &stuck;
    frmMain window(services, qtUiHooks());
    window.show();
    QTimer::singleShot(200, &window, [&window] { window.close(); });
    window.tmrUpdates_Timer(); // the probe of COM3 runs on a worker
    std::_Exit(4);
}

} // namespace

// Closing the window ends the program at once even while a probe's worker
// is stuck in the serial library; a hidden process waiting for it would keep
// the reader's port from every later start. In a child process, since the
// end of the process is what is tested.
TEST(MainWindowDeathTest, CloseEndsTheProgramWhileAProbeIsStuck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(closeWhileAProbeIsStuck(), ::testing::ExitedWithCode(0), "");
}

TEST(MainWindow, DialogsAreMadeOnceAndOwnedByTheWindow)
{
    Gui g;
    frmHIDmode* h = &g.form->hidDialog();
    frmCCIDmode* c = &g.form->ccidDialog();
    EXPECT_EQ(&g.form->hidDialog(), h);
    EXPECT_EQ(&g.form->ccidDialog(), c);
    EXPECT_EQ(h->parentWidget(), g.form.get());
    EXPECT_EQ(c->parentWidget(), g.form.get());
}

} // namespace tarvex::guitest
