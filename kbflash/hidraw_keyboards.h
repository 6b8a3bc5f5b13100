// The reader's own keyboards on Linux: the raw HID nodes (/dev/hidrawN) of
// the keyboard interfaces of a ZN480 in HID personality. The LED output
// report written there goes to that device alone, so neither the user's
// lock keys nor other keyboards change.
//
// The raw node rather than the keyboard's input event node: writing to an
// event node can also inject key presses into the input layer, which would
// let any program of the user type into any window, so the udev rules grant
// the user the raw node only. The raw node takes output reports and cannot
// make key presses: they arrive from the device, never from a write.
#pragma once
#include "hid_led_report.h"
#include "led_devices.h"

#include <memory>
#include <string>
#include <vector>

namespace kbflash {

class HidrawKeyboard final : public LedDevice {
public:
    // Takes ownership of `fd`, a raw HID node open for writing.
    HidrawKeyboard(int fd, std::string path, LedReportLayout layout, bool caps, bool num, bool scroll);
    ~HidrawKeyboard() override;
    HidrawKeyboard(const HidrawKeyboard&) = delete;
    HidrawKeyboard& operator=(const HidrawKeyboard&) = delete;

    bool led(Key key) const override { return on_[static_cast<int>(key)]; }
    void setLed(Key key, bool on) override;
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
    LedReportLayout layout_;
    bool on_[3];
    bool gone_ = false; // unplugged: nothing more is written
};

struct HidrawScan {
    std::vector<std::unique_ptr<HidrawKeyboard>> opened; // in syspath order
    std::vector<std::string> denied;                     // nodes without write permission
    std::vector<std::string> failed;                     // other nodes that could not be used, with the reason
    int readers = 0; // the reader's working HID interfaces, with or without a usable node
    bool udevFailed = false;
};

// Finds the raw HID nodes of the reader's keyboard interfaces through udev
// (the "hid" parent's HID_ID must be the reader's, with a driver bound, as
// in the Tarvex scan, and its report descriptor must have LED outputs) and
// opens each one write-only. The LEDs' current states are read from the
// kernel's LED devices of the interface's keyboard (inputN::capslock ...),
// which anyone may read; without them they count as off.
HidrawScan openReaderKeyboards();

} // namespace kbflash
