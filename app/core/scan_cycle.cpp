// The scan cycle: on every tick while "Refresh devices" is checked, look for
// readers among the PC/SC readers, the USB serial ports, the HID interfaces
// and the drives, and bring the device list in line with what was found.
// Entries are recognised again by their key (the text before " - "). The
// identity reads and probes go through the scan's own session.
#include "core/reader_core.h"

#include "modComPort.h"
#include "modUSB.h"

#include <exception>

namespace tarvex {

namespace {

const char* const kScanning = " - Scanning...";
const char kMarkerFile[] = "APDU_314.MSD";

// Holds the lock, the progress text and the running flag for one cycle, and
// gives all three back on every way out of it, so a failing stage can never
// leave the front end locked or the next tick shut out.
class CycleScope {
public:
    CycleScope(ReaderCore& core, bool& running) : core_(core), running_(running)
    {
        running_ = true;
        core_.LockForm();
        core_.setProgress(kScanning);
    }
    ~CycleScope()
    {
        core_.UnlockForm();
        core_.restoreCaption();
        running_ = false;
    }
    CycleScope(const CycleScope&) = delete;
    CycleScope& operator=(const CycleScope&) = delete;

private:
    ReaderCore& core_;
    bool& running_;
};

// One stage failing (an exception out of a platform layer or a conversion)
// ends that stage only; the stages after it and the pruning still run. What
// the stage had not looked at yet is unknown: `failed` hears it.
template <class Stage, class Failed> void runStage(Stage&& stage, Failed&& failed)
{
    try {
        stage();
    } catch (const std::exception& e) {
        failed(std::string("the search stopped on an error: ") + e.what());
    } catch (...) {
        failed("the search stopped on an error");
    }
}

// Both reads go through SendAPDU, which picks the transport by DevKind.
std::string readIdentity(ReaderSession& session)
{
    const std::string serial = session.GetReaderSN();
    const std::string firmware = session.GetReaderFW();
    return identitySuffix(serial, firmware);
}

// The port name of a serial-map value: the data without its terminating
// NUL. Empty when the data is not a NUL-terminated text.
std::string portNameOf(const SerialMapValue& value)
{
    const std::string& data = value.data;
    if (data.empty() || data.back() != '\0')
        return {};
    return data.substr(0, data.find('\0')); // stops at the first NUL in any case
}

} // namespace

void ReaderCore::tmrUpdates_Timer()
{
    // A tick that falls due while a cycle is yielding is skipped: a nested
    // cycle would reset the marks the outer one is still collecting.
    if (scanRunning_ || !refresh_)
        return;
    CycleScope scope(*this, scanRunning_);
    // This runs from a front end's timer: nothing may escape into its event
    // loop. The scope gives the lock, the caption and the running flag back.
    cycleProblems_.clear();
    try {
        runCycle();
    } catch (...) {
    }
    problems_ = std::move(cycleProblems_);
    cycleProblems_.clear();
}

void ReaderCore::noteProblem(Source source, std::string what)
{
    cycleProblems_.push_back({source, std::move(what)});
}

// Marks the entry with key `key` as found, or appends `text` (the key plus
// any identity suffix) as a new entry. An entry this cycle has already added
// stays marked Added when a second source reports the same key (several
// reader drives), so the cycle still stops the refresh for it.
void ReaderCore::reconcile(const std::string& key, const std::string& text)
{
    const int i = list_.CheckList(key);
    if (i >= 0) {
        if (list_.mark(i) != Added)
            list_.setMark(i, Seen);
        return;
    }
    list_.setMark(list_.append(text), Added);
}

std::string ReaderCore::readCcidIdentity(const std::string& name)
{
    // Each session has a PC/SC context of its own, and a cycle can run inside
    // a workflow's dialog or message box while the workflow holds its reader
    // in a transaction. A second connection to that reader would wait for
    // the transaction to end (pcsc-lite in the connect, Windows in
    // SCardBeginTransaction), and it ends only after this cycle has returned:
    // the process would wait for itself. The workflow's reader is left to
    // it, as one held by another program would be.
    if (session_.holdsCcidReader(name))
        return {};
    ReaderSession& probe = scanSession_;
    probe.DevKind = DEVKIND_CCID;
    probe.smart().SelectReader(name);
    if (!probe.connectCard())
        return {};
    // Let go however the reads end: a connection left open keeps the
    // workflows and other programs from the reader until the next cycle.
    struct Release {
        modSmart& smart;
        ~Release() { smart.DisconnectCard(); }
    } release{probe.smart()};
    return readIdentity(probe);
}

void ReaderCore::scanCcid()
{
    modSmart& smart = scanSession_.smart();
    const pcsc::Result init = smart.InitSmart();
    const bool haveContext = smart.contextReady();
    const pcsc::Result listing = smart.ListReaders();
    // The first failure says why; without a context the listing had
    // nothing to list with and says nothing more.
    const bool comesWithReaders = svc_.pcsc->serviceStartsWithReaders();
    std::string why = pcscProblemText(init, comesWithReaders);
    if (why.empty() && haveContext)
        why = pcscProblemText(listing, comesWithReaders);
    if (!why.empty())
        noteProblem(Source::Pcsc, why);
    std::vector<std::string> names;
    const int n = smart.GetReaders(names);
    if (n < 1)
        return;
    setProgress(" - Scanning CCID...");
    for (int r = 0; r < n && size_t(r) < names.size(); ++r) {
        const std::string& name = names[size_t(r)];
        const std::string key = ccidKey(name);
        yieldToUser();
        // Looked up after the yield: the list is what it is now.
        const int i = list_.CheckList(key);
        if (i >= 0) {
            if (!ListEntry::parse(list_.text(i)).identity) {
                const std::string suffix = readCcidIdentity(name);
                // The identity reads do not yield, so i still names the entry.
                if (suffix.size() > 8)
                    list_.setText(i, list_.text(i) + suffix);
            }
            if (list_.mark(i) != Added)
                list_.setMark(i, Seen);
            continue;
        }
        // Only new readers are filtered by name: an entry already listed
        // stays whatever its name.
        if (name.find("ZN480") == std::string::npos)
            continue;
        std::string suffix = readCcidIdentity(name);
        if (suffix.size() < 8)
            suffix.clear();
        list_.setMark(list_.append(key + suffix), Added);
    }
}

void ReaderCore::scanSerial()
{
    if (!svc_.serialMap)
        return;
    const auto values = svc_.serialMap->read();
    if (!values) {
        const std::string why = svc_.serialMap->readProblem();
        if (!why.empty())
            noteProblem(Source::Serial, "the list of serial ports cannot be read: " + why);
        return;
    }
    LibraryCheck library = LibraryCheck::NotAsked;
    std::vector<std::string> present;
    setProgress(" - Scanning Serial...");
    for (const SerialMapValue& value : *values) {
        yieldToUser();
        const std::string portName = portNameOf(value);
        present.push_back(portName);
        if (portName.rfind("COM", 0) != 0 || value.name.find("USBSER") == std::string::npos)
            continue;
        const int port = ComPortNumber(portName);
        if (port < 1)
            continue;
        if (!serialProbes_.shouldProbe(portName, value))
            continue; // another device's port that has already said it is no reader
        const std::string key = cdcKey(portName);
        const bool listed = list_.CheckList(key) >= 0;
        // The probe and the identity reads wait for the device's answers
        // (up to about a second for a device that stays silent): the front
        // end keeps serving its events meanwhile. Only this cycle touches
        // the list, and it does so here, before and after.
        bool isReader = false;
        bool probeSent = false;
        std::string suffix;
        ReaderSession& probe = scanSession_;
        runSerialJob([&] {
            isReader = probe.CheckZnSerial(port);
            probeSent = probe.ChannelHandle == port;
            if (isReader && !listed) {
                probe.DevKind = DEVKIND_CDC;
                // Read over the channel the probe left open; kept whatever its length.
                suffix = readIdentity(probe);
            }
            // The probe leaves its channel open whatever it found.
            if (svc_.serchan)
                svc_.serchan->close(probe.ChannelHandle);
        });
        // A port that could not be opened (held by another program, or its
        // device not there yet behind a map entry that outlives it) was
        // sent nothing and has said nothing: it is tried again next cycle.
        if (probeSent || isReader)
            serialProbes_.probed(portName, value, isReader);
        else
            noteUnopenedPort(portName, library);
        if (!isReader)
            continue;
        const int i = list_.CheckList(key);
        if (i >= 0) {
            if (list_.mark(i) != Added)
                list_.setMark(i, Seen);
        } else {
            list_.setMark(list_.append(key + suffix), Added);
        }
    }
    // What a port that has left the map said is forgotten: plugged in
    // again, it is probed again.
    serialProbes_.keepOnly(present);
}

// A port whose open failed was not looked at; whether that is worth telling
// depends on why. A library that cannot be used fails every port (told
// once a cycle); a port this user may not open is a reader that may be
// there; a port held by another program, or whose device is not there
// yet, is what the window has always let pass.
void ReaderCore::noteUnopenedPort(const std::string& portName, LibraryCheck& library)
{
    if (library == LibraryCheck::NotAsked) {
        const std::string why = svc_.serchan ? svc_.serchan->loadProblem() : "no serial channel library";
        library = why.empty() ? LibraryCheck::Usable : LibraryCheck::Unusable;
        if (!why.empty())
            noteProblem(Source::Serial, "the serial channel library cannot be used: " + why);
    }
    if (library == LibraryCheck::Unusable)
        return;
    const std::string why = svc_.serialMap->accessProblem(portName);
    if (!why.empty())
        noteProblem(Source::Serial, portName + " cannot be opened: " + why);
}

void ReaderCore::scanHid()
{
    if (!svc_.hid)
        return;
    std::vector<std::string> names;
    const int m = ListHidReaders(*svc_.hid, names);
    if (m == kHidSearchFailed) {
        const std::string why = svc_.hid->searchProblem();
        noteProblem(Source::Hid, "the search for HID interfaces failed" + (why.empty() ? std::string() : ": " + why));
        // Nothing is known about the HID interfaces this cycle: keep their
        // entries as they are rather than prune them and add them again
        // (which would stop the refresh) once the search works again.
        for (int i = 0; i < list_.count(); ++i)
            if (ListEntry::parse(list_.text(i)).personality == Personality::Hid && list_.mark(i) == Unseen)
                list_.setMark(i, Seen);
        return;
    }
    if (m < 1)
        return;
    setProgress(" - Scanning HID...");
    for (int k = 0; k < m && size_t(k) < names.size(); ++k) {
        yieldToUser();
        const std::string key = hidKey(names[size_t(k)]);
        reconcile(key, key);
    }
}

void ReaderCore::scanDrives()
{
    if (!svc_.drives)
        return;
    const std::vector<std::string> drives = svc_.drives->list();
    const std::string why = svc_.drives->listProblem();
    if (!why.empty())
        noteProblem(Source::Drives, "the drives cannot be listed: " + why);
    std::vector<std::string> files;
    for (const std::string& drive : drives) {
        setProgress(" - Scanning MSD...");
        yieldToUser();
        // The marker file must be the only file in the drive's root.
        if (IsUsableDrive(drive) && UpdateDrive(drive, files) && files.size() == 1 && files.front() == kMarkerFile)
            reconcile(kMsdEntry, kMsdEntry);
    }
}

// Steps between taking and giving back the lock: marks, the four stages,
// pruning from the end and selecting a lone entry.
void ReaderCore::runCycle()
{
    for (int i = 0; i < list_.count(); ++i)
        list_.setMark(i, Unseen);

    auto failed = [this](Source source) { return [this, source](std::string what) { noteProblem(source, what); }; };
    runStage([&] { scanCcid(); }, failed(Source::Pcsc));
    runStage([&] { scanSerial(); }, failed(Source::Serial));
    runStage([&] { scanHid(); }, failed(Source::Hid));
    runStage([&] { scanDrives(); }, failed(Source::Drives));

    setProgress(kScanning);
    // From the end, so removals do not shift the entries still to visit.
    for (int i = list_.count() - 1; i >= 0; --i) {
        yieldToUser();
        if (i >= list_.count())
            continue;
        const int32_t mark = list_.mark(i);
        if (mark == Unseen)
            list_.remove(i);
        else if (mark == Added)
            setRefresh(false);
    }
    if (list_.count() == 1)
        list_.select(0);
}

void ReaderCore::runSerialJob(const std::function<void()>& job)
{
    serialBusy_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{serialBusy_};
    ui_.runServingEvents(job);
}

bool ReaderCore::IsUsableDrive(const std::string& entry)
{
    if (!svc_.drives)
        return false;
    const int type = svc_.drives->driveType(entry);
    return (entry != "a:" && type == DRIVE_TYPE_REMOVABLE) || type == DRIVE_TYPE_FIXED;
}

bool ReaderCore::UpdateDrive(const std::string& entry, std::vector<std::string>& files)
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
