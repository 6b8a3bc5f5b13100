// Finding readers in HID personality. The enumeration itself is a platform
// backend; the identifier tests and the naming live here so that every
// platform numbers and names the interfaces the same way.
#pragma once
#include "platform/hid_enum.h"
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {

// Fills names[0..count-1] with "ZN480 Keyboard " + ordinal from 0 and returns
// count. When nothing matches the result is 0; when the search itself failed
// it is kHidSearchFailed, since "no reader" and "could not look" lead callers
// to opposite conclusions. In both cases the array is untouched.
constexpr int16_t kHidSearchFailed = -1;
int16_t ListHidReaders(HidEnumerator& hid, std::vector<std::string>& names);

// DeviceID test: "HID" at 1-3, "6A4E" at 9-12, "0013" at 18-21 (1-based),
// case-sensitive. Shorter identifiers do not match.
bool IsZnHidDeviceId(const std::string& deviceId);

// The device identifier inside a Win32_USBControllerDevice `Dependent` path:
// quotes removed, the text between the first and second "=". Empty when the
// text holds no "=".
std::string DeviceIdFromDependent(const std::string& dependent);

} // namespace tarvex
