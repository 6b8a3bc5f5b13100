// The Windows device-instance identifier of a reader's HID interface, as the
// management service reports it. Plain text handling with no Windows API, so
// that it builds and is tested everywhere; only the WMI enumeration uses it.
// (The Linux side recognises the same interface by its HID_ID, in
// zn480/hid_id.h.)
#pragma once
#include <string>

namespace tarvex {

// DeviceID test: "HID" at 1-3, "6A4E" at 9-12, "0013" at 18-21 (1-based),
// case-sensitive. Shorter identifiers do not match.
bool IsZnHidDeviceId(const std::string& deviceId);

// The device identifier inside a Win32_USBControllerDevice `Dependent` path:
// quotes removed, the text between the first and second "=". Empty when the
// text holds no "=".
std::string DeviceIdFromDependent(const std::string& dependent);

} // namespace tarvex
