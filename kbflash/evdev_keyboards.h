// The reader's own keyboards on Linux: the input event nodes
// (/dev/input/eventN) of keyboard interfaces with LEDs that belong to a
// ZN480 in HID personality. Writing EV_LED events to such a node makes the
// kernel send the LED output report to that device alone, so neither the
// user's lock keys nor other keyboards change.
#pragma once
#include "led_devices.h"

#include <memory>
#include <string>
#include <vector>

namespace kbflash {

class EvdevKeyboard final : public LedDevice {
public:
    // Takes ownership of `fd`, an event node open for writing.
    EvdevKeyboard(int fd, std::string path, bool caps, bool num, bool scroll);
    ~EvdevKeyboard() override;
    EvdevKeyboard(const EvdevKeyboard&) = delete;
    EvdevKeyboard& operator=(const EvdevKeyboard&) = delete;

    bool led(Key key) const override { return on_[static_cast<int>(key)]; }
    void setLed(Key key, bool on) override;
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
    bool on_[3];
    bool gone_ = false; // unplugged: nothing more is written
};

struct EvdevScan {
    std::vector<std::unique_ptr<EvdevKeyboard>> opened; // in syspath order
    std::vector<std::string> denied;                    // nodes without write permission
    std::vector<std::string> failed;                    // other nodes that could not be used, with the reason
    int readers = 0; // the reader's working HID interfaces, with or without a usable node
    bool udevFailed = false;
};

// Finds the reader's keyboard nodes through udev (the "hid" ancestor's
// HID_ID must be the reader's, with a driver bound, as in the Tarvex scan)
// and opens each one for writing, reading its LED state.
EvdevScan openReaderKeyboards();

} // namespace kbflash
