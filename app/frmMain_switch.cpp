// The three mode buttons. Each workflow runs under the window lock; every
// early stop falls through to the closing steps, which always run.
#include "frmCCIDmode.h"
#include "frmHIDmode.h"
#include "frmMain.h"
#include <QCheckBox>
#include <QListWidget>

namespace tarvex {

namespace {
const char* const kSuccess = "Operation completed with success!";
const char* const kHidFormatFailed = "Failed to set HID serial number format!";
const char* const kFakeModeFailed = "Failed to set fake mode configuration!";
constexpr int16_t kMinimumFirmware = 166;
} // namespace

QString frmMain::selectedKey() const
{
    const int i = selectedIndex();
    return i < 0 ? QString() : FilterExtra(entryText(i));
}

bool frmMain::reselectEntry(const QString& key)
{
    // Dialogs and prompts let scan cycles run: the entry may have been pruned,
    // or moved when entries ahead of it were. Work only on the same reader.
    if (key.isEmpty())
        return false;
    if (selectedKey() == key)
        return true;
    const int16_t i = CheckList(key);
    if (i < 0)
        return false;
    setSelectedIndex(i);
    return true;
}

void frmMain::switchAndHandBack(int16_t personality)
{
    if (SwitchToDevice(personality))
        svc_.ui->messageBox(QString::fromLatin1(kSuccess), false);
    // Accepted or not, let the scan look for the reader again: in its new
    // personality, or in its old one after a refusal.
    chkRefresh->setChecked(true);
}

void frmMain::removeSelectedEntry()
{
    const int i = selectedIndex();
    if (i >= 0)
        delete lstZN->takeItem(i);
}

void frmMain::cmdHID_Click()
{
    LockForm();
    [this] {
        QString key = selectedKey();
        if (key.isEmpty())
            return;
        if (CheckVersion(kMinimumFirmware) <= 0)
            return;
        frmHIDmode& dialog = hidDialog();
        svc_.ui->showModal(dialog);
        const int16_t format = dialog.GetButton();
        const int16_t subOptions = dialog.GetSubOption();
        if (format == 0)
            return;
        if (!reselectEntry(key))
            return;
        FillFrom();
        if (!prepareAndOpen(key))
            return;
        removeSelectedEntry();
        if (!SendHIDMode(format, subOptions)) {
            svc_.ui->messageBox(QString::fromLatin1(kHidFormatFailed), false);
            return;
        }
        switchAndHandBack(DEVKIND_HID);
    }();
    CloseDevice();
    ClearSel();
    UnlockForm();
}

void frmMain::cmdCDC_Click()
{
    LockForm();
    [this] {
        QString key = selectedKey();
        if (key.isEmpty())
            return;
        FillFrom();
        if (CheckVersion(kMinimumFirmware) == 0)
            return;
        if (!prepareAndOpen(key))
            return;
        removeSelectedEntry();
        switchAndHandBack(DEVKIND_CDC);
    }();
    CloseDevice();
    ClearSel();
    UnlockForm();
}

void frmMain::cmdCCID_Click()
{
    LockForm();
    [this] {
        QString key = selectedKey();
        if (key.isEmpty())
            return;
        FillFrom();
        frmCCIDmode& dialog = ccidDialog();
        svc_.ui->showModal(dialog);
        const int16_t setting = dialog.GetButton();
        if (setting == -1)
            return;
        if (!reselectEntry(key))
            return;
        // A scan cycle during the dialog may have changed DevKind.
        FillFrom();
        if (!prepareAndOpen(key))
            return;
        removeSelectedEntry();
        if (!SendCCIDFake(setting)) {
            svc_.ui->messageBox(QString::fromLatin1(kFakeModeFailed), false);
            return;
        }
        switchAndHandBack(DEVKIND_CCID);
    }();
    ClearSel();
    CloseDevice();
    UnlockForm();
}

bool frmMain::prepareAndOpen(QString& key)
{
    const bool wasHid = DevKind == DEVKIND_HID;
    if (!ResetDevice())
        return false;
    if (wasHid) {
        // The reset selected the reader's new entry; its transport follows
        // from that entry rather than from whatever the last scan read.
        key = selectedKey();
        FillFrom();
    }
    if (!OpenDevice())
        return false;
    // The card prompt inside OpenDevice lets scans run as well.
    return reselectEntry(key);
}

} // namespace tarvex
