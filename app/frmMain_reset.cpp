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

    // Let the scan run until it has added the reader in its new personality;
    // the cycle clears the box when it adds an entry.
    chkRefresh->setChecked(true);
    const uint32_t start = svc_.clock->tickMs();
    while (chkRefresh->isChecked()) {
        if (elapsedMs(start, svc_.clock->tickMs()) >= kReappearTimeoutMs) {
            svc_.ui->messageBox(QString::fromLatin1(kNotBackMessage), false);
            return false;
        }
        svc_.ui->yield();
        svc_.clock->sleepMs(kReappearPollMs);
    }
    if (entryCount() < 1)
        return false;
    setSelectedIndex(0);
    return true;
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
