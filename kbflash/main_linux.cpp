// kbflash on Linux: plays the LED pattern once and exits. It takes no
// arguments and reads no input.
//
// Where the pattern goes:
// 1. the raw HID nodes of the reader's own keyboard interfaces, when at
//    least one of them can be opened for writing: the LED output report
//    goes straight to the reader. This works on any desktop (Wayland, X11)
//    and on a text console, and touches no other keyboard and not the
//    user's lock keys;
// 2. otherwise, when a reader is there but none of its nodes can be used (no
//    permission, no raw HID node) or udev cannot tell, the X display's lock
//    keys (XTest and XKB) if a display is reachable: every keyboard of that
//    session shows the pattern;
// 3. otherwise nothing: a message on standard error says what is missing and
//    the exit status is 2.
// A machine that udev shows without any reader in HID personality gets
// nothing either, display or not. Tarvex only starts kbflash for a reader
// its scan has just found through the same udev identity, and starts it a
// second time seven seconds later, by when the reader has normally left
// HID; blinking the user's lock keys then would reach no reader at all.
//
// Exit status: 0 after a complete run; 2 when no keyboard can be reached;
// 128 + the signal when a stop request ended it early (the LEDs are put back
// first). The GUI program starts it without waiting and never reads the
// status; it is there for scripts and tests.
#include "hidraw_keyboards.h"
#include "lock_keys.h"
#include "pattern.h"
#include "posix_pacer.h"

#include <cstdio>
#include <string>

namespace {

std::string joined(const std::vector<std::string>& items)
{
    std::string s;
    for (const std::string& i : items)
        s += (s.empty() ? "" : ", ") + i;
    return s;
}

// What stands in the way of the reader's own nodes, for the message.
std::string nodeProblem(const kbflash::HidrawScan& scan)
{
    if (!scan.denied.empty())
        return "no permission to write " + joined(scan.denied)
            + " (the keyboard of the ZN480 reader in HID personality, USB 6A4E:0013)";
    if (!scan.failed.empty())
        return "the ZN480 reader's keyboard cannot be used: " + joined(scan.failed);
    if (scan.udevFailed)
        return "udev cannot list the input devices";
    if (scan.readers > 0)
        return "the ZN480 reader in HID personality has no raw HID node (/dev/hidrawN) with keyboard LEDs";
    return "no ZN480 reader found in HID personality (no HID device with USB id 6A4E:0013 and a driver)";
}

const char* const kPermissionHint
    = "The udev rules that come with Tarvex (/usr/lib/udev/rules.d/70-zn480.rules) give the user of the local, "
      "active session access to the reader's raw HID node. If they are installed, replug the reader or run\n"
      "  sudo udevadm control --reload-rules && sudo udevadm trigger\n"
      "Over ssh or without systemd-logind there is no such session: run kbflash as root, or add a rule that "
      "gives your group the reader's raw HID node (SUBSYSTEM==\"hidraw\", GROUP=\"plugdev\", MODE=\"0660\") and join "
      "that "
      "group.\n";

} // namespace

int main()
{
    kbflash::installStopHandlers();
    kbflash::HidrawScan scan = kbflash::openReaderKeyboards();
    const bool noReader = !scan.udevFailed && scan.readers == 0 && scan.denied.empty() && scan.failed.empty();
    if (noReader) {
        std::fprintf(stderr, "kbflash: %s: nothing to signal\n", nodeProblem(scan).c_str());
        return 2;
    }
    if (!scan.opened.empty()) {
        std::vector<kbflash::LedDevice*> devices;
        for (auto& k : scan.opened)
            devices.push_back(k.get());
        kbflash::PosixPacer pacer;
        const auto outcome = kbflash::playPatternOn(devices, pacer);
        return outcome == kbflash::Outcome::Done ? 0 : kbflash::interruptedExitStatus();
    }

    std::string xError;
    auto keys = kbflash::openLockKeys(xError);
    if (keys) {
        // Found but unusable nodes are worth a note: the X path blinks every
        // keyboard and does not reach the reader on a Wayland desktop.
        if (!scan.udevFailed)
            std::fprintf(stderr, "kbflash: %s; using the X display instead\n", nodeProblem(scan).c_str());
        const auto outcome = kbflash::playPattern(*keys);
        keys.reset(); // the backend undoes its own keyboard changes here
        return outcome == kbflash::Outcome::Done ? 0 : kbflash::interruptedExitStatus();
    }

    std::fprintf(
        stderr, "kbflash: %s, and no X display to fall back on (%s)\n", nodeProblem(scan).c_str(), xError.c_str());
    if (!scan.denied.empty())
        std::fputs(kPermissionHint, stderr);
    return 2;
}
