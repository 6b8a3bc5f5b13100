// Which serial ports the scan sends its probe to. Every probe is a frame of
// bytes on a line that may belong to anything: a modem, a printer, a board
// that acts on stray input. A reader's own ports (its vendor id, or a port
// the user named) are probed on every cycle, as the scan has always done.
// Any other port is probed once per plug: after a probe that found no reader
// it is left alone until its device is plugged in again (a new identity) or
// has left the map, so a reader behind an unexpected vendor id is still
// found the first time it shows up.
#pragma once
#include "platform/serial_map.h"

#include <map>
#include <string>
#include <vector>

namespace tarvex {

constexpr uint16_t kReaderUsbVendor = 0x6A4E;

class SerialProbes {
public:
    // `port` is the port name ("COM3") the value stands for.
    bool shouldProbe(const std::string& port, const SerialMapValue& value) const;
    void probed(const std::string& port, const SerialMapValue& value, bool foundReader);
    // Ports no longer in the map are forgotten: plugged in again, they are
    // probed again whatever identity their device has.
    void keepOnly(const std::vector<std::string>& presentPorts);

private:
    static bool alwaysProbed(const SerialMapValue& value);
    std::map<std::string, std::string> refused_; // port -> device identity at its failed probe
};

} // namespace tarvex
