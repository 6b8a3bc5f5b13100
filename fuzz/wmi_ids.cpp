// The parsing of WMI text: the device identifier inside a `Dependent` path
// and the reader test on it. Checks: no quote or "=" survives in the
// identifier, and an identifier accepted as a reader really has the three
// fixed parts in place.
#include "platform/hid_device_id.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string id = tarvex::DeviceIdFromDependent(text);
    if (id.find('"') != std::string::npos || id.find('=') != std::string::npos)
        abort();
    if (text.find('=') == std::string::npos && !id.empty())
        abort();
    for (const std::string& candidate : {id, text}) {
        if (tarvex::IsZnHidDeviceId(candidate)
            && (candidate.size() < 21 || candidate.substr(0, 3) != "HID" || candidate.substr(8, 4) != "6A4E"
                || candidate.substr(17, 4) != "0013"))
            abort();
    }
    return 0;
}
