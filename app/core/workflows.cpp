// The three mode switches. Each is a straight sequence of steps inside one
// WorkflowScope: any step that stops returns, and the scope's closing steps
// (close the reader, clear the selection, unlock) run on every way out.
#include "core/reader_core.h"

namespace tarvex {

namespace {
const char* const kSuccess = "Operation completed with success!";
const char* const kHidFormatFailed = "Failed to set HID serial number format!";
const char* const kFakeModeFailed = "Failed to set fake mode configuration!";
constexpr int16_t kMinimumFirmware = 166;
} // namespace

// Locks for the workflow's whole length and gives everything back at its end.
class WorkflowScope {
public:
    enum class Closing { ReaderFirst, SelectionFirst };
    WorkflowScope(ReaderCore& core, Closing order) : core_(core), order_(order) { core_.LockForm(); }
    ~WorkflowScope()
    {
        if (order_ == Closing::ReaderFirst) {
            core_.CloseDevice();
            core_.ClearSel();
        } else {
            core_.ClearSel();
            core_.CloseDevice();
        }
        core_.UnlockForm();
    }
    WorkflowScope(const WorkflowScope&) = delete;
    WorkflowScope& operator=(const WorkflowScope&) = delete;

private:
    ReaderCore& core_;
    const Closing order_;
};

std::string ReaderCore::selectedKey() const
{
    const int i = list_.selected();
    return i < 0 ? std::string() : FilterExtra(list_.text(i));
}

bool ReaderCore::reselectEntry(const std::string& key)
{
    // Dialogs and prompts let scan cycles run: the entry may have been pruned,
    // or moved when entries ahead of it were. Work only on the same reader.
    if (key.empty())
        return false;
    if (selectedKey() == key)
        return true;
    const int16_t i = list_.CheckList(key);
    if (i < 0)
        return false;
    list_.select(i);
    return true;
}

bool ReaderCore::switchAndHandBack(int16_t personality)
{
    const bool accepted = session_.SwitchToDevice(personality);
    if (accepted)
        ui_.messageBox(kSuccess, false);
    // Accepted or not, let the scan look for the reader again: in its new
    // personality, or in its old one after a refusal.
    setRefresh(true);
    return accepted;
}

void ReaderCore::removeSelectedEntry()
{
    const int i = list_.selected();
    if (i >= 0)
        list_.remove(i);
}

bool ReaderCore::prepareAndOpen(std::string& key)
{
    const bool wasHid = session_.DevKind == DEVKIND_HID;
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

bool ReaderCore::switchToHid()
{
    WorkflowScope scope(*this, WorkflowScope::Closing::ReaderFirst);
    std::string key = selectedKey();
    if (key.empty())
        return false;
    if (CheckVersion(kMinimumFirmware) <= 0)
        return false;
    const HidModeChoice choice = ui_.askHidMode();
    if (choice.format == 0)
        return false;
    if (!reselectEntry(key))
        return false;
    FillFrom();
    if (!prepareAndOpen(key))
        return false;
    removeSelectedEntry();
    if (!session_.SendHIDMode(choice.format, choice.subOptions)) {
        ui_.messageBox(kHidFormatFailed, false);
        return false;
    }
    return switchAndHandBack(DEVKIND_HID);
}

bool ReaderCore::switchToCdc()
{
    WorkflowScope scope(*this, WorkflowScope::Closing::ReaderFirst);
    std::string key = selectedKey();
    if (key.empty())
        return false;
    FillFrom();
    if (CheckVersion(kMinimumFirmware) == 0)
        return false;
    if (!prepareAndOpen(key))
        return false;
    removeSelectedEntry();
    return switchAndHandBack(DEVKIND_CDC);
}

bool ReaderCore::switchToCcid()
{
    // This switch has always let go of the selection before the reader: the
    // buttons are off before the card is released, and front ends that
    // watch the reader's connection (and the tests that record the order)
    // see the same sequence as ever. The other two close the reader first.
    WorkflowScope scope(*this, WorkflowScope::Closing::SelectionFirst);
    std::string key = selectedKey();
    if (key.empty())
        return false;
    FillFrom();
    const int16_t setting = ui_.askCcidFake();
    if (setting == kFakeCardCancelled)
        return false;
    if (!reselectEntry(key))
        return false;
    // A scan cycle during the dialog may have changed the selection.
    FillFrom();
    if (!prepareAndOpen(key))
        return false;
    removeSelectedEntry();
    if (!session_.SendCCIDFake(setting)) {
        ui_.messageBox(kFakeModeFailed, false);
        return false;
    }
    return switchAndHandBack(DEVKIND_CCID);
}

} // namespace tarvex

namespace tarvex {

std::optional<HidModeChoice> ReaderCore::readHidFormat()
{
    // Opened and closed like a switch, under the same lock, but the entry
    // stays listed: nothing about the reader changes.
    WorkflowScope scope(*this, WorkflowScope::Closing::ReaderFirst);
    if (selectedKey().empty())
        return std::nullopt;
    FillFrom();
    if (session_.DevKind != DEVKIND_CCID && session_.DevKind != DEVKIND_CDC)
        return std::nullopt;
    if (!OpenDevice())
        return std::nullopt;
    const auto config = session_.ReadHIDConfig();
    if (!config)
        return std::nullopt;
    return ReaderSession::hidModeOf(*config);
}

} // namespace tarvex
