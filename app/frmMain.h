// The main window: the device list box, the mode buttons and the scan
// timer, bound to the reader core, which holds the list, the scan cycle and
// the workflows. The window shows what the core reports and answers the
// core's questions with message boxes and the two option dialogs.
#pragma once
#include "core/reader_core.h"
#include "end_request.h"
#include "modScanTrigger.h"
#include "ui_hooks.h"

#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

class QCheckBox;
class QListWidget;
class QPushButton;
class QTimer;

namespace tarvex {

class frmHIDmode;
class frmCCIDmode;

// PC/SC reader and port names come in the system's 8-bit code page (the
// ANSI calls on Windows, UTF-8 on Linux). The core keeps them as they came;
// the window shows them decoded.
inline QString entryDisplayText(const std::string& text)
{
    return QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
}

class frmMain : public QWidget, private ReaderUi {
    Q_OBJECT
public:
    frmMain(const Services& services, UiHooks& ui, QWidget* parent = nullptr);
    ~frmMain() override;

    ReaderCore& core() { return core_; }

    // ---- Main window (frmMain.cpp)
    void LockForm() { core_.LockForm(); }
    void UnlockForm() { core_.UnlockForm(); }
    void Buttons(bool ccidEnabled, bool cdcEnabled, bool hidEnabled);
    void setProgress(const QString& text); // BaseCaption + text
    void restoreCaption();                 // BaseCaption
    // The buttons that the selected entry's personality offers.
    void lstZN_Click();

    // ---- Scan (frmMain_scan.cpp)
    void tmrUpdates_Timer() { core_.tmrUpdates_Timer(); }
    // A device came or went (from a device watch, on the window's thread):
    // a burst of these runs one scan cycle soon after, when the box is checked.
    void deviceChanged();

    // ---- The three mode buttons
    void cmdHID_Click() { core_.switchToHid(); }
    void cmdCDC_Click() { core_.switchToCdc(); }
    void cmdCCID_Click() { core_.switchToCcid(); }

    QString BaseCaption;

    // Controls; public so that tests can drive the window as a user would.
    QListWidget* lstZN = nullptr;
    QPushButton* cmdCCID = nullptr;
    QPushButton* cmdCDC = nullptr;
    QPushButton* cmdHID = nullptr;
    QCheckBox* chkRefresh = nullptr;
    QTimer* tmrUpdates = nullptr;

    frmHIDmode& hidDialog();
    frmCCIDmode& ccidDialog();

protected:
    void closeEvent(class QCloseEvent* event) override;

private:
    void Form_Load();
    // ReaderUi: the core's questions and state, shown by this window.
    bool messageBox(const std::string& text, bool okCancel) override;
    HidModeChoice askHidMode() override;
    int16_t askCcidFake() override;
    void yield() override { ui_.yield(); }
    void runServingEvents(const std::function<void()>& job) override { ui_.runServingEvents(job); }
    void lockChanged(bool locked) override { setEnabled(!locked); }
    void progressChanged(const std::string& text) override;
    void refreshChanged(bool checked) override;
    // The list box follows the core's device list.
    void listChanged(DeviceList::Change change, int index);
    void onListSelectionChanged();
    void eventTimer_Timer();
    void chkRefresh_Click(); // the box was checked or cleared

    UiHooks& ui_;
    ReaderCore core_;
    bool mirroring_ = false; // the list box is being set from the core's list
    bool changeWhileUnchecked_ = false;
    ScanTrigger scanTrigger_;
    QTimer* eventTimer_ = nullptr;
    frmHIDmode* hidDialog_ = nullptr; // created on first use, never unloaded
    frmCCIDmode* ccidDialog_ = nullptr;
};

} // namespace tarvex
