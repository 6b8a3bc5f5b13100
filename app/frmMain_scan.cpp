// What starts a scan cycle besides the 2-second tick: device events from the
// watches, gathered into one cycle per burst, and checking the refresh box
// after events came while it was cleared. The cycle itself is the core's.
#include "frmMain.h"

#include <QCheckBox>
#include <QTimer>

namespace tarvex {

void frmMain::deviceChanged()
{
    const uint32_t now = core_.services().clock->tickMs();
    if (scanTrigger_.note(now))
        eventTimer_->start(int(scanTrigger_.dueInMs(now)));
}

void frmMain::eventTimer_Timer()
{
    const uint32_t now = core_.services().clock->tickMs();
    if (!scanTrigger_.take(now)) {
        // Fired a little early (timers may), or nothing is open.
        if (scanTrigger_.pending())
            eventTimer_->start(int(scanTrigger_.dueInMs(now)));
        return;
    }
    if (core_.scanRunning()) {
        // The running cycle may have looked before the device was there.
        deviceChanged();
        return;
    }
    if (!chkRefresh->isChecked()) {
        // The list is now behind the devices: once the box is checked again
        // (by the user, or by a workflow handing the reader back to the
        // scan), the change is looked at straight away.
        changeWhileUnchecked_ = true;
        return;
    }
    tmrUpdates_Timer(); // the same cycle as a tick
}

void frmMain::chkRefresh_Click()
{
    core_.setRefresh(chkRefresh->isChecked());
    if (chkRefresh->isChecked() && changeWhileUnchecked_) {
        changeWhileUnchecked_ = false;
        deviceChanged();
    }
}

} // namespace tarvex
