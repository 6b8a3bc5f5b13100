// The reader core's own state (lock, refresh box, progress), the selected
// entry's transport, and opening the selected reader.
#include "core/reader_core.h"

namespace tarvex {

namespace {

const char* const kCardPrompt = "CCID devices require a valid card present to be connected, please put a supported "
                                "contactless card over the reader.";
constexpr int16_t kMinimumFirmware = 166;
// The firmware major version every mode command needs; the minimum the
// callers pass is a minor number of this major.
constexpr uint32_t kRequiredMajor = 2;

} // namespace

SwitchTargets targetsFor(Personality personality)
{
    switch (personality) {
    case Personality::Ccid:
        return {true, true, true};
    case Personality::Hid:
        return {true, true, false};
    case Personality::Cdc:
        return {true, false, true};
    case Personality::Msd:
        break;
    }
    return {true, true, true}; // the drive entry: every target is offered
}

ReaderCore::ReaderCore(const Services& services, ReaderUi& ui)
    : svc_(services), ui_(ui), session_(*services.pcsc, services.serchan, *services.clock),
      scanSession_(*services.pcsc, services.serchan, *services.clock)
{
    serialProbes_.rememberIn(services.probeMemory);
}

void ReaderCore::LockForm()
{
    if (lockDepth_ == 0)
        ui_.lockChanged(true);
    ++lockDepth_;
}

void ReaderCore::UnlockForm()
{
    // An unmatched unlock must not drive the count negative: the next lock
    // would then fail to lock at all.
    if (lockDepth_ <= 0) {
        lockDepth_ = 0;
        return;
    }
    --lockDepth_;
    if (lockDepth_ == 0)
        ui_.lockChanged(false);
}

void ReaderCore::setRefresh(bool checked)
{
    if (refresh_ == checked)
        return;
    refresh_ = checked;
    ui_.refreshChanged(checked);
}

void ReaderCore::setProgress(const std::string& text)
{
    ui_.progressChanged(text);
}

void ReaderCore::FillFrom()
{
    const int i = list_.selected();
    if (i < 0)
        return;
    switch (ListEntry::parse(list_.text(i)).personality) {
    case Personality::Hid:
        session_.DevKind = DEVKIND_HID;
        break;
    case Personality::Ccid:
        session_.DevKind = DEVKIND_CCID;
        break;
    case Personality::Cdc:
        session_.DevKind = DEVKIND_CDC;
        break;
    case Personality::Msd:
        break; // the drive entry has no transport of its own
    }
}

bool ReaderCore::OpenDevice()
{
    const int index = list_.selected();
    if (index < 0)
        return false;
    const ListEntry entry = ListEntry::parse(list_.text(index));

    if (session_.DevKind == DEVKIND_CCID) {
        if (entry.personality != Personality::Ccid || entry.key.size() < 5)
            return false;
        // A reader that has gone from the PC/SC list must not be replaced by
        // whichever reader happened to be current before; the prompt lets
        // scan cycles run meanwhile, so the list is read again each time.
        for (;;) {
            if (!session_.selectCcidReader(entry.address()))
                return false;
            if (session_.connectCard())
                break;
            if (!ui_.messageBox(kCardPrompt, true))
                return false;
        }
        if (entry.identity)
            return true;

        // The prompt lets scan cycles run: one may have pruned the entry and
        // listed it again (the selection went with the pruned one) or moved
        // it. The card is connected to this key's reader, so the entry is
        // found again by its key, as after an open of an entry with suffix.
        if (!reselectEntry(entry.key))
            return false;
        const int now = list_.selected();
        const ListEntry current = ListEntry::parse(list_.text(now));
        // A scan may have read the identity meanwhile; its firmware text is
        // judged all the same, since this open is the only check a reader
        // listed without a suffix gets.
        if (!current.identity) {
            const std::string serial = session_.GetReaderSN();
            const std::string firmware = session_.GetReaderFW();
            list_.setText(now, current.key + identitySuffix(serial, firmware));
        }
        return CheckVersion(kMinimumFirmware) != 0;
    }

    if (session_.DevKind == DEVKIND_CDC)
        return session_.openCdc(comPortOfEntry(list_.text(index)));

    return false; // HID and anything else has no command transport
}

int16_t ReaderCore::CheckVersion(int16_t minimum)
{
    const FirmwareVersion v = firmwareOfEntry(list_.selectedText());
    if (v.reading == FirmwareVersion::Unknown)
        return -1;
    // Text that is not "(major.minor" is unreadable: refuse without a message.
    if (v.reading == FirmwareVersion::Unreadable)
        return 0;
    const bool recentEnough
        = v.major > kRequiredMajor || (v.major == kRequiredMajor && int64_t(v.minor) >= int64_t(minimum));
    if (recentEnough)
        return 1;
    ui_.messageBox("Version equal or greater than 2." + std::to_string(minimum) + " is required for this mode.", false);
    return 0;
}

} // namespace tarvex
