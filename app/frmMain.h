// The main window: device list, mode buttons, the scan timer, and the
// procedures that carry most of the program's logic. Each group of
// procedures lives in its own source file (frmMain_<area>.cpp).
#pragma once
#include "modScanTrigger.h"
#include "modSerialProbes.h"
#include "modSmart.h"
#include "services.h"
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QListWidget;
class QPushButton;
class QTimer;

namespace tarvex {

class frmHIDmode;
class frmCCIDmode;

// DevKind values: which command transport the reader being worked on uses.
constexpr int16_t DEVKIND_CCID = 0;
constexpr int16_t DEVKIND_CDC = 1;
constexpr int16_t DEVKIND_HID = 3;

// Per-entry scan marks, kept beside each list entry.
constexpr int32_t Unseen = 0;
constexpr int32_t Seen = 1;
constexpr int32_t Added = 2;

// PC/SC reader names come in the system's 8-bit code page (the ANSI calls on
// Windows, UTF-8 on Linux). The list shows them decoded; the reader itself is
// always addressed by the name exactly as the service gave it.
inline QString readerNameText(const std::string& name)
{
    return QString::fromLocal8Bit(name.data(), qsizetype(name.size()));
}

// Set on the application object when the main window has closed; a command
// that is still yielding then ends the program instead of running on.
inline constexpr const char* kEndRequestedProperty = "tarvexEndRequested";

class frmMain : public QWidget {
    Q_OBJECT
public:
    explicit frmMain(const Services& services, QWidget* parent = nullptr);
    ~frmMain() override;

    // ---- Main window (frmMain.cpp)
    void LockForm();
    void UnlockForm();
    int lockDepth() const { return LockDepth; }
    void Buttons(bool ccidEnabled, bool cdcEnabled, bool hidEnabled);
    void setProgress(const QString& text); // BaseCaption + text
    void restoreCaption();                 // BaseCaption

    // ---- Device list (frmMain_list.cpp)
    static QString FilterExtra(const QString& entryText);
    int16_t CheckList(const QString& key) const;
    void lstZN_Click();
    void ClearSel();
    void FillFrom();
    int32_t scanMark(int index) const;
    void setScanMark(int index, int32_t mark);
    int appendEntry(const QString& text); // returns its index
    QString entryText(int index) const;
    void setEntryText(int index, const QString& text);
    int entryCount() const;
    int selectedIndex() const;
    void setSelectedIndex(int index); // runs lstZN_Click

    // ---- Scan cycle (frmMain_scan.cpp)
    void tmrUpdates_Timer();
    bool UpdateDrive(const std::string& entry, std::vector<std::string>& files);
    bool IsUsableDrive(const std::string& entry);
    // A device came or went (from a device watch, on the window's thread):
    // a burst of these runs one scan cycle soon after, when the box is checked.
    void deviceChanged();
    SerialProbes& serialProbes() { return serialProbes_; }
    // Runs serial work that waits for a device (probe, identity reads) so
    // that the window keeps serving its events.
    void runSerialJob(const std::function<void()>& job);

    // ---- Device connection (frmMain_device.cpp)
    bool OpenDevice();
    void CloseDevice();
    bool CheckZnSerial(int32_t port);

    // ---- APDU exchange (frmMain_apdu.cpp)
    QString SendAPDU(const QString& command, QString& reply);
    QString CCID_SendApdu(const QString& command, QString& reply);
    QString CDC_SendApdu(const QString& command, QString& reply);

    // ---- Reader command set (frmMain_commands.cpp)
    QString GetReaderSN();
    QString GetReaderFW();
    int16_t CheckVersion(int16_t minimum);
    bool SwitchToDevice(int16_t personality);
    bool SendHIDMode(int16_t format, int16_t subOptions);
    bool SendCCIDFake(int16_t setting);
    bool RebootDevice();

    // ---- Mode switch workflows (frmMain_switch.cpp)
    void cmdHID_Click();
    void cmdCDC_Click();
    void cmdCCID_Click();

    // ---- HID reader reset (frmMain_reset.cpp)
    bool ResetDevice();
    bool ResetHIDDevice();

    // ---- State shared by the procedures
    int16_t DevKind = 0;
    int32_t ChannelHandle = 0;
    QString BaseCaption;

    // Controls; public so that tests can drive the window as a user would.
    QListWidget* lstZN = nullptr;
    QPushButton* cmdCCID = nullptr;
    QPushButton* cmdCDC = nullptr;
    QPushButton* cmdHID = nullptr;
    QCheckBox* chkRefresh = nullptr;
    QTimer* tmrUpdates = nullptr;

    modSmart& smart() { return smart_; }
    frmHIDmode& hidDialog();
    frmCCIDmode& ccidDialog();
    const Services& services() const { return svc_; }

protected:
    void closeEvent(class QCloseEvent* event) override;

private:
    void Form_Load();
    void onListSelectionChanged();
    bool buildSwitchCommand(const QString& header, int selector, QString& command);
    // Workflow helpers (frmMain_switch.cpp)
    QString selectedKey() const;
    bool reselectEntry(const QString& key);
    void removeSelectedEntry();
    void switchAndHandBack(int16_t personality);
    bool prepareAndOpen(QString& key);
    int firstEntryOutsideHid() const; // -1 when every entry is a HID one
    // The service's own spelling of the listed reader shown as `name`.
    std::string listedReaderName(const QString& name) const;

    Services svc_;
    modSmart smart_;
    int LockDepth = 0;
    bool settingSelection_ = false; // setSelectedIndex runs lstZN_Click itself
    bool scanRunning_ = false;   // a tick during a cycle's yields is skipped
    void eventTimer_Timer();
    void chkRefresh_Click(); // the box was checked or cleared
    bool changeWhileUnchecked_ = false;
    ScanTrigger scanTrigger_;
    SerialProbes serialProbes_;
    bool serialBusy_ = false; // a probe runs on a worker while the window serves events
    QTimer* eventTimer_ = nullptr;
    frmHIDmode* hidDialog_ = nullptr;   // created on first use, never unloaded
    frmCCIDmode* ccidDialog_ = nullptr;
};

} // namespace tarvex
