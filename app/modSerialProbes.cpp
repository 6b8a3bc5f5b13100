#include "modSerialProbes.h"

#include <algorithm>

namespace tarvex {

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
