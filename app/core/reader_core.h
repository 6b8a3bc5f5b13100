// The reader core: the device list, the scan cycle that keeps it in line
// with the attached readers, and the three mode-switch workflows, with the
// reader sessions they talk through. It needs no window: a front end gives
// it the platform services and a ReaderUi, shows the list and the state it
// reports, and calls tmrUpdates_Timer on its ticks and the workflows on the
// user's command. The window (frmMain) and the command-line tool are such
// front ends.
#pragma once
#include "core/device_list.h"
#include "core/list_entry.h"
#include "core/reader_session.h"
#include "core/reader_ui.h"
#include "core/services.h"
#include "core/source_problem.h"
#include "modSerialProbes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvex {

// The targets a reader in a personality can be switched to.
struct SwitchTargets {
    bool ccid = false;
    bool cdc = false;
    bool hid = false;
};
SwitchTargets targetsFor(Personality personality);

class ReaderCore {
public:
    ReaderCore(const Services& services, ReaderUi& ui);
    ReaderCore(const ReaderCore&) = delete;
    ReaderCore& operator=(const ReaderCore&) = delete;

    DeviceList& list() { return list_; }
    const DeviceList& list() const { return list_; }
    // The workflows' reader; the scan cycle probes through its own session.
    ReaderSession& session() { return session_; }
    ReaderSession& scanSession() { return scanSession_; }
    const Services& services() const { return svc_; }
    ReaderUi& ui() { return ui_; }

    // ---- Front-end state the procedures use
    // The lock nests: a scan cycle may run inside a workflow's dialog.
    void LockForm();
    void UnlockForm();
    int lockDepth() const { return lockDepth_; }
    // "Refresh devices until there are changes."
    bool refreshChecked() const { return refresh_; }
    void setRefresh(bool checked);
    void setProgress(const std::string& text);
    void restoreCaption() { setProgress(std::string()); }

    // ---- Device list
    int16_t CheckList(const std::string& key) const { return list_.CheckList(key); }
    void FillFrom(); // DevKind of the workflows' session from the selected entry
    void ClearSel() { list_.select(-1); }

    // ---- Scan cycle: one cycle when the box is checked and none is running.
    void tmrUpdates_Timer();
    bool scanRunning() const { return scanRunning_; }
    // The sources the last finished cycle could not look at, in the order
    // it looks at them; empty when it asked every one. A reader there may
    // be attached and not listed.
    const std::vector<SourceProblem>& sourceProblems() const { return problems_; }
    bool UpdateDrive(const std::string& entry, std::vector<std::string>& files);
    bool IsUsableDrive(const std::string& entry);
    SerialProbes& serialProbes() { return serialProbes_; }
    // True while a probe runs on a worker (the channel is the worker's).
    bool serialBusy() const { return serialBusy_; }

    // ---- Opening the selected entry's reader (the workflows' session)
    bool OpenDevice();
    void CloseDevice() { session_.CloseDevice(); }
    // 1 when the selected entry's firmware is at least 2.<minimum>; 0 when
    // older (after the version message) or unreadable; -1 when unknown.
    int16_t CheckVersion(int16_t minimum);

    // ---- The mode switches of the selected reader. Each runs under the
    // lock and ends with the reader closed and the selection cleared; true
    // when the reader accepted the switch (and "Operation completed with
    // success!" was shown).
    bool switchToHid();
    bool switchToCdc();
    bool switchToCcid();
    // The selected reader's HID output format, read over its command
    // channel (CCID or CDC); absent when it has none or did not answer.
    std::optional<HidModeChoice> readHidFormat();

    // ---- Making a reader in HID personality leave it
    bool ResetDevice();
    bool ResetHIDDevice();
    // Keeps the scan looking through the reset's waits (the box checked at
    // every poll), so that a reader arriving meanwhile is seen while this
    // one is still a keyboard and is never taken for it. The window leaves
    // the box to the user; a front end without one turns this on.
    void setScanDuringReset(bool on) { scanDuringReset_ = on; }

private:
    friend class WorkflowScope;
    void runCycle();
    void scanCcid();
    // " - <serial> <firmware>" of a PC/SC reader, read over a card connection
    // of the scan's session; empty when there is no connection to be had.
    std::string readCcidIdentity(const std::string& name);
    void scanSerial();
    // Whether serchan's library was found usable, asked once per cycle.
    enum class LibraryCheck { NotAsked, Usable, Unusable };
    void noteUnopenedPort(const std::string& portName, LibraryCheck& library);
    void scanHid();
    void scanDrives();
    void noteProblem(Source source, std::string what);
    void reconcile(const std::string& key, const std::string& text);
    void runSerialJob(const std::function<void()>& job);
    void yieldToUser() { ui_.yield(); }

    // Workflow steps
    std::string selectedKey() const;
    bool reselectEntry(const std::string& key);
    void removeSelectedEntry();
    bool switchAndHandBack(int16_t personality);
    bool prepareAndOpen(std::string& key);
    // The first entry outside HID that was not listed beside the reader
    // while it was still a keyboard; -1 when there is none.
    int firstNewEntryOutsideHid() const;
    void noteReadersBesideHid();

    Services svc_;
    ReaderUi& ui_;
    std::set<std::string> besideHid_; // entry keys, during a HID reset
    bool scanDuringReset_ = false;
    DeviceList list_;
    ReaderSession session_;
    ReaderSession scanSession_;
    SerialProbes serialProbes_;
    int lockDepth_ = 0;
    bool refresh_ = true;
    bool scanRunning_ = false;
    bool serialBusy_ = false;
    std::vector<SourceProblem> problems_;      // of the last finished cycle
    std::vector<SourceProblem> cycleProblems_; // of the cycle running
};

} // namespace tarvex
