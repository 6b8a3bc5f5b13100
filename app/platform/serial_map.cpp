// The portable part of the serial-port map: reading device identifiers.
#include "platform/serial_map.h"

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
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return 0;
        vendor = uint16_t(vendor << 4 | digit);
    }
    return vendor;
}

} // namespace tarvex
