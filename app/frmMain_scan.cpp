// The scan cycle: every timer tick while "Refresh devices" is checked, look
// for readers among the PC/SC readers, the USB serial ports, the HID
// interfaces and the drives, and bring the device list in line with what was
// found. Entries are recognised again by their key (the text before " - ").
#include "frmMain.h"
#include "modComPort.h"
#include "modSerialProbes.h"
#include "modUSB.h"

#include <QCheckBox>
#include <QListWidget>
#include <QTimer>

#include <exception>

namespace tarvex {

namespace {

const QString kScanning = QStringLiteral(" - Scanning...");
const QString kSuffixSeparator = QStringLiteral(" - ");
const char kMarkerFile[] = "APDU_314.MSD";
const QString kMsdEntry = QStringLiteral("MSD ZN480 Mass Storage");

// Holds the window lock, the progress caption and the running flag for one
// cycle, and gives all three back on every way out of it, so a failing stage
// can never leave the window disabled or the next tick shut out.
//
// A cycle that starts while the window is already locked runs inside a
// workflow's dialog, card prompt or reset wait. Its identity reads and probes
// set DevKind and ChannelHandle for the readers it visits; the workflow's
// reader must keep its own transport, so a nested cycle hands both back as it
// found them.
class CycleGuard {
public:
    CycleGuard(frmMain& form, bool& running)
        : form_(form), running_(running), insideWorkflow_(form.lockDepth() > 0),
          devKind_(form.DevKind), channelHandle_(form.ChannelHandle)
    {
        running_ = true;
        form_.LockForm();
        form_.setProgress(kScanning);
    }
    ~CycleGuard()
    {
        if (insideWorkflow_) {
            form_.DevKind = devKind_;
            form_.ChannelHandle = channelHandle_;
        }
        form_.UnlockForm();
        form_.restoreCaption();
        running_ = false;
    }
    CycleGuard(const CycleGuard&) = delete;
    CycleGuard& operator=(const CycleGuard&) = delete;

private:
    frmMain& form_;
    bool& running_;
    const bool insideWorkflow_;
    const int16_t devKind_;
    const int32_t channelHandle_;
};

// One stage failing (an exception out of a platform layer or a conversion)
// ends that stage only; the stages after it and the pruning still run.
template <class Stage>
void runStage(Stage&& stage)
{
    try {
        stage();
    } catch (const std::exception&) {
    } catch (...) {
    }
}

void yieldToWindow(const Services& svc)
{
    if (svc.ui)
        svc.ui->yield();
}

// Marks the entry with key `key` as found, or appends `text` (the key plus
// any identity suffix) as a new entry. An entry this cycle has already added
// stays marked Added when a second source reports the same key (several
// reader drives), so the cycle still stops the refresh for it.
void reconcile(frmMain& form, const QString& key, const QString& text)
{
    const int i = form.CheckList(key);
    if (i >= 0) {
        if (form.scanMark(i) != Added)
            form.setScanMark(i, Seen);
        return;
    }
    form.setScanMark(form.appendEntry(text), Added);
}

QString identitySuffix(frmMain& form)
{
    // Both reads go through SendAPDU, which picks the transport by DevKind.
    const QString sn = form.GetReaderSN();
    const QString fw = form.GetReaderFW();
    return kSuffixSeparator + sn + QStringLiteral(" ") + fw;
}

void scanCcid(frmMain& form)
{
    const Services& svc = form.services();
    modSmart& smart = form.smart();
    smart.InitSmart();
    smart.ListReaders();
    std::vector<std::string> names;
    const int n = smart.GetReaders(names);
    if (n < 1)
        return;
    form.setProgress(QStringLiteral(" - Scanning CCID..."));
    for (int r = 0; r < n && size_t(r) < names.size(); ++r) {
        const std::string& name = names[size_t(r)];
        const QString key = QStringLiteral("CCID ") + readerNameText(name);
        yieldToWindow(svc);
        // Looked up after the yield: the list is what it is now.
        const int i = form.CheckList(key);
        if (i >= 0) {
            if (!form.entryText(i).contains(kSuffixSeparator)) {
                form.DevKind = DEVKIND_CCID;
                smart.SelectReader(name);
                if (!smart.ConnectCard().empty()) {
                    const QString suffix = identitySuffix(form);
                    // The identity reads do not yield, so i still names the entry.
                    if (suffix.size() > 8)
                        form.setEntryText(i, form.entryText(i) + suffix);
                    smart.DisconnectCard();
                }
            }
            if (form.scanMark(i) != Added)
                form.setScanMark(i, Seen);
            continue;
        }
        // Only new readers are filtered by name: an entry already listed
        // stays whatever its name.
        if (name.find("ZN480") == std::string::npos)
            continue;
        form.DevKind = DEVKIND_CCID;
        smart.SelectReader(name);
        QString suffix;
        if (!smart.ConnectCard().empty()) {
            suffix = identitySuffix(form);
            smart.DisconnectCard();
        }
        if (suffix.size() < 8)
            suffix.clear();
        form.setScanMark(form.appendEntry(key + suffix), Added);
    }
}

// The port name of a serial-map value: the data without its terminating
// NUL. Empty when the data is not a NUL-terminated text.
QString portNameOf(const SerialMapValue& value)
{
    const std::string& data = value.data;
    if (data.empty() || data.back() != '\0')
        return {};
    const size_t end = data.find('\0'); // stops at the first NUL in any case
    return QString::fromLocal8Bit(data.data(), qsizetype(end));
}

void scanSerial(frmMain& form)
{
    const Services& svc = form.services();
    if (!svc.serialMap)
        return;
    const auto values = svc.serialMap->read();
    if (!values)
        return;
    SerialProbes& probes = form.serialProbes();
    std::vector<std::string> present;
    form.setProgress(QStringLiteral(" - Scanning Serial..."));
    for (const SerialMapValue& value : *values) {
        yieldToWindow(svc);
        const QString portName = portNameOf(value);
        const std::string portText = portName.toStdString();
        present.push_back(portText);
        if (!portName.startsWith(QLatin1String("COM")) || value.name.find("USBSER") == std::string::npos)
            continue;
        const int port = ComPortNumber(portText);
        if (port < 1)
            continue;
        if (!probes.shouldProbe(portText, value))
            continue; // another device's port that has already said it is no reader
        const QString key = portName + QStringLiteral(" ZN480 CDC");
        const bool listed = form.CheckList(key) >= 0;
        // The probe and the identity reads wait for the device's answers
        // (up to about a second for a device that stays silent): the window
        // keeps serving its events meanwhile. Only this cycle touches the
        // list, and it does so here, before and after.
        bool isReader = false;
        QString suffix;
        form.runSerialJob([&] {
            isReader = form.CheckZnSerial(port);
            if (isReader && !listed) {
                form.DevKind = DEVKIND_CDC;
                // Read over the channel the probe left open; kept whatever its length.
                suffix = identitySuffix(form);
            }
            // The probe leaves its channel open whatever it found.
            if (svc.serchan)
                svc.serchan->close(form.ChannelHandle);
        });
        probes.probed(portText, value, isReader);
        if (!isReader)
            continue;
        const int i = form.CheckList(key);
        if (i >= 0) {
            if (form.scanMark(i) != Added)
                form.setScanMark(i, Seen);
        } else {
            form.setScanMark(form.appendEntry(key + suffix), Added);
        }
    }
    // What a port that has left the map said is forgotten: plugged in
    // again, it is probed again.
    probes.keepOnly(present);
}

void scanHid(frmMain& form)
{
    const Services& svc = form.services();
    if (!svc.hid)
        return;
    std::vector<std::string> names;
    const int m = ListHidReaders(*svc.hid, names);
    if (m == kHidSearchFailed) {
        // Nothing is known about the HID interfaces this cycle: keep their
        // entries as they are rather than prune them and add them again
        // (which would stop the refresh) once the search works again.
        const QString prefix = QStringLiteral("HID ");
        for (int i = 0; i < form.entryCount(); ++i)
            if (form.entryText(i).startsWith(prefix) && form.scanMark(i) == Unseen)
                form.setScanMark(i, Seen);
        return;
    }
    if (m < 1)
        return;
    form.setProgress(QStringLiteral(" - Scanning HID..."));
    for (int k = 0; k < m && size_t(k) < names.size(); ++k) {
        yieldToWindow(svc);
        const QString key = QStringLiteral("HID ") + QString::fromStdString(names[size_t(k)]);
        reconcile(form, key, key);
    }
}

void scanDrives(frmMain& form)
{
    const Services& svc = form.services();
    if (!svc.drives)
        return;
    const std::vector<std::string> drives = svc.drives->list();
    std::vector<std::string> files;
    for (const std::string& drive : drives) {
        form.setProgress(QStringLiteral(" - Scanning MSD..."));
        yieldToWindow(svc);
        // The marker file must be the only file in the drive's root.
        if (form.IsUsableDrive(drive) && form.UpdateDrive(drive, files) && files.size() == 1 &&
            files.front() == kMarkerFile)
            reconcile(form, kMsdEntry, kMsdEntry);
    }
}

// Steps between taking and giving back the window: marks, the four stages,
// pruning from the end and selecting a lone entry.
void runCycle(frmMain& form)
{
    const Services& svc = form.services();
    for (int i = 0; i < form.entryCount(); ++i)
        form.setScanMark(i, Unseen);

    runStage([&] { scanCcid(form); });
    runStage([&] { scanSerial(form); });
    runStage([&] { scanHid(form); });
    runStage([&] { scanDrives(form); });

    form.setProgress(kScanning);
    // From the end, so removals do not shift the entries still to visit.
    for (int i = form.entryCount() - 1; i >= 0; --i) {
        yieldToWindow(svc);
        if (i >= form.entryCount())
            continue;
        const int32_t mark = form.scanMark(i);
        if (mark == Unseen)
            delete form.lstZN->takeItem(i);
        else if (mark == Added)
            form.chkRefresh->setChecked(false);
    }
    if (form.entryCount() == 1)
        form.setSelectedIndex(0);
}

} // namespace

void frmMain::tmrUpdates_Timer()
{
    // A tick that falls due while a cycle is yielding is skipped: a nested
    // cycle would reset the marks the outer one is still collecting.
    if (scanRunning_)
        return;
    if (!chkRefresh->isChecked())
        return;
    CycleGuard guard(*this, scanRunning_);
    // This runs from a timer slot: nothing may escape into the event loop.
    // The guard gives the lock, the caption and the running flag back.
    try {
        runCycle(*this);
    } catch (...) {
    }
}

void frmMain::runSerialJob(const std::function<void()>& job)
{
    serialBusy_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{serialBusy_};
    svc_.ui->runServingEvents(job);
}

void frmMain::deviceChanged()
{
    const uint32_t now = svc_.clock->tickMs();
    if (scanTrigger_.note(now))
        eventTimer_->start(int(scanTrigger_.dueInMs(now)));
}

void frmMain::eventTimer_Timer()
{
    const uint32_t now = svc_.clock->tickMs();
    if (!scanTrigger_.take(now)) {
        // Fired a little early (timers may), or nothing is open.
        if (scanTrigger_.pending())
            eventTimer_->start(int(scanTrigger_.dueInMs(now)));
        return;
    }
    if (scanRunning_) {
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
    if (chkRefresh->isChecked() && changeWhileUnchecked_) {
        changeWhileUnchecked_ = false;
        deviceChanged();
    }
}

bool frmMain::IsUsableDrive(const std::string& entry)
{
    if (!svc_.drives)
        return false;
    const int type = svc_.drives->driveType(entry);
    return (entry != "a:" && type == DRIVE_TYPE_REMOVABLE) || type == DRIVE_TYPE_FIXED;
}

bool frmMain::UpdateDrive(const std::string& entry, std::vector<std::string>& files)
{
    files.clear();
    if (!svc_.drives)
        return false;
    try {
        if (svc_.drives->listRootFiles(entry, files))
            return true;
    } catch (...) {
    }
    files.clear();
    return false;
}

} // namespace tarvex
