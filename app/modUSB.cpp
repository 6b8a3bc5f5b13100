// Naming and identifier tests for readers in HID personality. The platform
// backend finds the device nodes; numbering happens here so that every
// platform hands the scan the same names.
#include "modUSB.h"

#include <limits>

namespace tarvex {

int16_t ListHidReaders(HidEnumerator& hid, std::vector<std::string>& names)
{
    std::vector<std::string> ids;
    if (!hid.listReaderIds(ids))
        return kHidSearchFailed;
    if (ids.empty())
        return 0; // callers read only as many names as the count says
    // The count travels as a 16-bit number; no machine has that many
    // interfaces, but a runaway backend must not wrap it negative.
    size_t count = ids.size();
    if (count > size_t(std::numeric_limits<int16_t>::max()))
        count = size_t(std::numeric_limits<int16_t>::max());
    names.resize(count);
    for (size_t k = 0; k < count; ++k)
        names[k] = "ZN480 Keyboard " + std::to_string(k);
    return int16_t(count);
}

bool IsZnHidDeviceId(const std::string& deviceId)
{
    // HID\VID_6A4E&PID_0013...: fixed positions, exact case.
    if (deviceId.size() < 21)
        return false;
    return deviceId.compare(0, 3, "HID") == 0 && deviceId.compare(8, 4, "6A4E") == 0 &&
           deviceId.compare(17, 4, "0013") == 0;
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
