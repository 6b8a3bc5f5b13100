// Which serial ports the scan sends its probe to. Every probe is a frame of
// bytes on a line that may belong to anything: a modem, a printer, a board
// that acts on stray input. A reader's own ports (its vendor id, or a port
// the user named) are probed on every cycle, as the scan has always done.
// Any other port is probed once per plug: after a probe that found no reader
// it is left alone until its device is plugged in again (a new identity) or
// has left the map, so a reader behind an unexpected vendor id is still
// found the first time it shows up.
//
// With a ProbeMemory this holds from one run of the program to the next:
// a script that runs the tool every few seconds sends the modem one probe
// per plug, not one per run.
#pragma once
#include "platform/probe_memory.h"
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

    // Starts from what `memory` holds and keeps every change there; null
    // keeps nothing beyond this object. Contents that are not ours (a
    // damaged or foreign file) count as nothing remembered.
    void rememberIn(ProbeMemory* memory);

    // The kept form: a first line naming it, then one line per port, the
    // port name and its device's identity separated by a tab.
    std::string toText() const;
    static std::map<std::string, std::string> fromText(const std::string& text);

private:
    static bool alwaysProbed(const SerialMapValue& value);
    void changed();
    ProbeMemory* memory_ = nullptr;
    std::map<std::string, std::string> refused_; // port -> device identity at its failed probe
};

} // namespace tarvex
