// Making a reader in HID personality leave it before a mode switch: the LED
// tool is started twice, then the program waits until the reader's HID
// interface is gone and the scan has listed the reader again.
#include "frmMain.h"
#include "modUSB.h"
#include <QCheckBox>

namespace tarvex {

namespace {
const char* const kOnlyHidMessage =
    "Due to how HID devices are handled it is required to remove the other "
    "ZN480 present and try again. Only the HID device must be present in the list.";
const char* const kClearFailedMessage = "HID clear operation failed.";
const char* const kNotBackMessage =
    "The reader did not reappear after the reset. Check that it is still attached and try again.";

constexpr uint32_t kToolRestartMs = 7000;
constexpr uint32_t kGoneTimeoutMs = 10000;
constexpr uint32_t kPollMs = 200;
// The reader re-enumerates within a few seconds; past this it is not coming back.
constexpr uint32_t kReappearTimeoutMs = 30000;
// Short sleeps between yields keep the wait off the CPU while the scan timer
// still fires promptly.
constexpr uint32_t kReappearPollMs = 20;
} // namespace

bool frmMain::ResetDevice()
{
    if (DevKind != DEVKIND_HID)
        return true;
    if (entryCount() > 1) {
        svc_.ui->messageBox(QString::fromLatin1(kOnlyHidMessage), false);
        return false;
    }
    if (!ResetHIDDevice())
        return false;

    // Let the scan run until the reader is listed in its new personality.
    // A cycle may already have listed it, and cleared the box, during the
    // reset's own waits: the list decides, not the box. While only HID
    // entries are listed the box is kept checked so that the scan goes on.
    const uint32_t start = svc_.clock->tickMs();
    int found;
    while ((found = firstEntryOutsideHid()) < 0) {
        if (elapsedMs(start, svc_.clock->tickMs()) >= kReappearTimeoutMs) {
            svc_.ui->messageBox(QString::fromLatin1(kNotBackMessage), false);
            return false;
        }
        if (!chkRefresh->isChecked())
            chkRefresh->setChecked(true);
        svc_.ui->yield();
        svc_.clock->sleepMs(kReappearPollMs);
    }
    setSelectedIndex(found);
    return true;
}

int frmMain::firstEntryOutsideHid() const
{
    for (int i = 0; i < entryCount(); ++i)
        if (!entryText(i).startsWith(QLatin1String("HID")))
            return i;
    return -1;
}

bool frmMain::ResetHIDDevice()
{
    setProgress(QStringLiteral(" - Resetting HID device..."));

    if (!svc_.launcher->startHidden(svc_.kbflashPath)) {
        svc_.ui->messageBox(QStringLiteral("Failed to find ") +
                                QString::fromStdString(kbflashFileName()),
                            false);
        restoreCaption();
        return false;
    }

    // The reader needs the pattern twice; the second run starts only after
    // the first has had time to finish (about 5.1 s of blinking).
    const uint32_t first = svc_.clock->tickMs();
    while (elapsedMs(first, svc_.clock->tickMs()) < kToolRestartMs) {
        svc_.clock->sleepMs(kPollMs);
        svc_.ui->yield();
    }
    svc_.launcher->startHidden(svc_.kbflashPath);

    bool result = false;
    const uint32_t second = svc_.clock->tickMs();
    std::vector<std::string> names;
    for (;;) {
        if (elapsedMs(second, svc_.clock->tickMs()) >= kGoneTimeoutMs) {
            svc_.ui->messageBox(QString::fromLatin1(kClearFailedMessage), false);
            result = false;
            break;
        }
        // Only a search that worked and found nothing means the reader has
        // left HID; a failed search says nothing, so the wait goes on.
        if (ListHidReaders(*svc_.hid, names) == 0) {
            result = true;
            break;
        }
        svc_.ui->yield();
        svc_.clock->sleepMs(kPollMs);
    }
    restoreCaption();
    return result;
}

} // namespace tarvex
