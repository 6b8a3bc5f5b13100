// Naming of readers in HID personality. The platform backend finds the
// device nodes; numbering happens here so that every platform hands the scan
// the same names.
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

} // namespace tarvex
