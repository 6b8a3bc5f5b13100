// The window's answers to the reader core: message boxes, the two option
// dialogs, the lock, the progress caption and the refresh box.
#include "frmCCIDmode.h"
#include "frmHIDmode.h"
#include "frmMain.h"

#include <QCheckBox>

namespace tarvex {

bool frmMain::messageBox(const std::string& text, bool okCancel)
{
    return ui_.messageBox(entryDisplayText(text), okCancel);
}

HidModeChoice frmMain::askHidMode()
{
    frmHIDmode& dialog = hidDialog();
    ui_.showModal(dialog);
    return {dialog.GetButton(), dialog.GetSubOption()};
}

int16_t frmMain::askCcidFake()
{
    frmCCIDmode& dialog = ccidDialog();
    ui_.showModal(dialog);
    return dialog.GetButton();
}

void frmMain::progressChanged(const std::string& text)
{
    if (text.empty())
        restoreCaption();
    else
        setProgress(QString::fromStdString(text));
}

void frmMain::refreshChanged(bool checked)
{
    if (chkRefresh->isChecked() != checked)
        chkRefresh->setChecked(checked);
}

} // namespace tarvex
