// The system's map of serial ports: on Windows the values of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (name = device name, data = port name
// with its terminating NUL); on Linux the same answers built from udev, with
// USB CDC ports (cdc_acm) named like the USBSER driver's values.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvex {

struct SerialMapValue {
    std::string name; // value name, e.g. "\Device\USBSER000"
    std::string data; // raw value data as stored, normally "COM3" plus a NUL
};

class SerialPortMap {
public:
    virtual ~SerialPortMap() = default;
    // nullopt when the map cannot be opened at all (the scan skips its stage).
    virtual std::optional<std::vector<SerialMapValue>> read() = 0;
};

std::unique_ptr<SerialPortMap> makeSystemSerialPortMap();

} // namespace tarvex
