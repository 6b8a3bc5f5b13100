// Making a reader in HID personality leave it before a mode switch: the LED
// tool is started twice, then the core waits until the reader's HID
// interface is gone and the scan has listed the reader again.
#include "core/reader_core.h"

#include "modUSB.h"

namespace tarvex {

namespace {
const char* const kOnlyHidMessage = "Due to how HID devices are handled it is required to remove the other "
                                    "ZN480 present and try again. Only the HID device must be present in the list.";
const char* const kClearFailedMessage = "HID clear operation failed.";
const char* const kNotBackMessage
    = "The reader did not reappear after the reset. Check that it is still attached and try again.";

constexpr uint32_t kToolRestartMs = 7000;
constexpr uint32_t kGoneTimeoutMs = 10000;
constexpr uint32_t kPollMs = 200;
// The reader re-enumerates within a few seconds; past this it is not coming back.
constexpr uint32_t kReappearTimeoutMs = 30000;
// Short sleeps between yields keep the wait off the CPU while the scan timer
// still fires promptly.
constexpr uint32_t kReappearPollMs = 20;
} // namespace

bool ReaderCore::ResetDevice()
{
    if (session_.DevKind != DEVKIND_HID)
        return true;
    if (list_.count() > 1) {
        ui_.messageBox(kOnlyHidMessage, false);
        return false;
    }
    // Readers listed beside this one while it is still a keyboard are others
    // (one arriving late from an earlier switch, one plugged meanwhile):
    // the reader that comes back must be one that was not among them.
    besideHid_.clear();
    noteReadersBesideHid();
    if (!ResetHIDDevice())
        return false;

    // Let the scan run until the reader is listed in its new personality.
    // A cycle may already have listed it, and cleared the box, during the
    // reset's own waits: the list decides, not the box. While only HID
    // entries are listed the box is kept checked so that the scan goes on.
    Clock& clock = *svc_.clock;
    const uint32_t start = clock.tickMs();
    int found;
    while ((found = firstNewEntryOutsideHid()) < 0) {
        if (elapsedMs(start, clock.tickMs()) >= kReappearTimeoutMs) {
            ui_.messageBox(kNotBackMessage, false);
            return false;
        }
        setRefresh(true);
        yieldToUser();
        clock.sleepMs(kReappearPollMs);
    }
    list_.select(found);
    return true;
}

int ReaderCore::firstNewEntryOutsideHid() const
{
    for (int i = 0; i < list_.count(); ++i)
        if (ListEntry::parse(list_.text(i)).personality != Personality::Hid
            && !besideHid_.count(FilterExtra(list_.text(i))))
            return i;
    return -1;
}

void ReaderCore::noteReadersBesideHid()
{
    // Only a list that still shows a keyboard: the cycle that sees the
    // reader gone from HID prunes its keyboard entry and may list the reader
    // anew in the same pass, and that entry is the one to take.
    bool keyboardListed = false;
    for (int i = 0; i < list_.count(); ++i)
        keyboardListed = keyboardListed || ListEntry::parse(list_.text(i)).personality == Personality::Hid;
    if (!keyboardListed)
        return;
    for (int i = 0; i < list_.count(); ++i)
        if (ListEntry::parse(list_.text(i)).personality != Personality::Hid)
            besideHid_.insert(FilterExtra(list_.text(i)));
}

bool ReaderCore::ResetHIDDevice()
{
    setProgress(" - Resetting HID device...");
    Clock& clock = *svc_.clock;

    if (!svc_.launcher->startHidden(svc_.kbflashPath)) {
        ui_.messageBox("Failed to find " + kbflashFileName(), false);
        restoreCaption();
        return false;
    }

    // The reader needs the pattern twice; the second run starts only after
    // the first has had time to finish (about 5.1 s of blinking).
    const uint32_t first = clock.tickMs();
    while (elapsedMs(first, clock.tickMs()) < kToolRestartMs) {
        clock.sleepMs(kPollMs);
        if (scanDuringReset_)
            setRefresh(true);
        yieldToUser();
        noteReadersBesideHid();
    }
    svc_.launcher->startHidden(svc_.kbflashPath);

    bool result = false;
    const uint32_t second = clock.tickMs();
    std::vector<std::string> names;
    for (;;) {
        if (elapsedMs(second, clock.tickMs()) >= kGoneTimeoutMs) {
            ui_.messageBox(kClearFailedMessage, false);
            result = false;
            break;
        }
        // Only a search that worked and found nothing means the reader has
        // left HID; a failed search says nothing, so the wait goes on.
        const int16_t left = ListHidReaders(*svc_.hid, names);
        if (left == 0) {
            result = true;
            break;
        }
        if (scanDuringReset_)
            setRefresh(true);
        yieldToUser();
        if (left > 0)
            noteReadersBesideHid();
        clock.sleepMs(kPollMs);
    }
    restoreCaption();
    return result;
}

} // namespace tarvex
