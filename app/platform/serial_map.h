// The system's map of serial ports: on Windows the values of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (name = device name, data = port name
// with its terminating NUL); on Linux the same answers built from udev, with
// USB CDC ports (cdc_acm) named like the USBSER driver's values. Both also
// tell which USB device is behind each port (SetupAPI on Windows, the udev
// parents on Linux).
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvex {

struct SerialMapValue {
    std::string name; // value name, e.g. "\Device\USBSER000"
    std::string data; // raw value data as stored, normally "COM3" plus a NUL
    // The USB device behind the port, where the system tells: its vendor id
    // (0 when the port has no USB device or none is known), and an identity
    // that is new each time the device is plugged in (empty when unknown).
    uint16_t usbVendor = 0;
    std::string instance;
    // A port the user pointed at explicitly, with no device the system
    // knows behind it (Linux: a node in the ZN480_DEV_DIR folder that udev
    // does not list).
    bool userNamed = false;
};

class SerialPortMap {
public:
    virtual ~SerialPortMap() = default;
    // nullopt when the map cannot be opened at all (the scan skips its stage).
    virtual std::optional<std::vector<SerialMapValue>> read() = 0;
    // Why the last read() gave nullopt, for a person; empty when the map is
    // simply not there (Windows makes the key with the first serial port).
    virtual std::string readProblem() const { return {}; }
    // Why this user may not open the port `port` ("COM3"), for a person;
    // empty when nothing is known against it. Asked only after an open
    // failed, and answered without opening the port: an open is what the
    // other device behind it would notice.
    virtual std::string accessProblem(const std::string& port) const
    {
        (void)port;
        return {};
    }
};

std::unique_ptr<SerialPortMap> makeSystemSerialPortMap();

// The vendor id in a Windows device instance ID ("USB\VID_6A4E&PID_0012\5&1A",
// "FTDIBUS\VID_0403+PID_6001+A1\0000"): the four hex digits after the first
// "VID_". 0 when there is none.
uint16_t VendorFromDeviceId(const std::string& deviceId);

} // namespace tarvex
