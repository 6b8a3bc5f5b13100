#include "modSerialProbes.h"

#include <algorithm>

namespace tarvex {

uint16_t VendorFromDeviceId(const std::string& deviceId)
{
    const size_t at = deviceId.find("VID_");
    if (at == std::string::npos || deviceId.size() < at + 8)
        return 0;
    uint16_t vendor = 0;
    for (size_t i = at + 4; i < at + 8; ++i) {
        const char c = deviceId[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else return 0;
        vendor = uint16_t(vendor << 4 | digit);
    }
    return vendor;
}

bool SerialProbes::alwaysProbed(const SerialMapValue& value)
{
    return value.usbVendor == kReaderUsbVendor || (value.userNamed && value.usbVendor == 0);
}

bool SerialProbes::shouldProbe(const std::string& port, const SerialMapValue& value) const
{
    if (alwaysProbed(value))
        return true;
    const auto it = refused_.find(port);
    return it == refused_.end() || it->second != value.instance;
}

void SerialProbes::probed(const std::string& port, const SerialMapValue& value, bool foundReader)
{
    if (foundReader || alwaysProbed(value))
        refused_.erase(port);
    else
        refused_[port] = value.instance;
}

void SerialProbes::keepOnly(const std::vector<std::string>& presentPorts)
{
    for (auto it = refused_.begin(); it != refused_.end();) {
        if (std::find(presentPorts.begin(), presentPorts.end(), it->first) == presentPorts.end())
            it = refused_.erase(it);
        else
            ++it;
    }
}

} // namespace tarvex
