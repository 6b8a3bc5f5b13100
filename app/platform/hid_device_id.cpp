#include "platform/hid_device_id.h"

namespace tarvex {

bool IsZnHidDeviceId(const std::string& deviceId)
{
    // HID\VID_6A4E&PID_0013...: fixed positions, exact case.
    if (deviceId.size() < 21)
        return false;
    return deviceId.compare(0, 3, "HID") == 0 && deviceId.compare(8, 4, "6A4E") == 0
        && deviceId.compare(17, 4, "0013") == 0;
}

std::string DeviceIdFromDependent(const std::string& dependent)
{
    std::string text;
    text.reserve(dependent.size());
    for (char c : dependent)
        if (c != '"')
            text.push_back(c);
    size_t first = text.find('=');
    if (first == std::string::npos)
        return {};
    size_t second = text.find('=', first + 1);
    return text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

} // namespace tarvex
