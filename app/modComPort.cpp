#include "modComPort.h"

namespace tarvex {

int32_t ComPortNumber(std::string_view portName)
{
    constexpr int32_t kHighestPort = 255;
    if (portName.size() <= 3 || portName.substr(0, 3) != "COM")
        return 0;
    int32_t port = 0;
    for (const char c : portName.substr(3)) {
        if (c < '0' || c > '9')
            return 0;
        port = port * 10 + (c - '0');
        if (port > kHighestPort)
            return 0;
    }
    return port;
}

} // namespace tarvex
