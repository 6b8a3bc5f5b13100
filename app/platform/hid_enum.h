// Enumeration of working HID device nodes of ZN480 readers (USB 6A4E:0013).
// Windows: the WMI queries over Win32_USBControllerDevice / Win32_PnPEntity;
// Linux: udev "hid" devices with that HID_ID and a bound driver, in syspath
// order. The backend returns one identifier per matching interface.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace tarvex {

class HidEnumerator {
public:
    virtual ~HidEnumerator() = default;
    // false when the enumeration service itself failed; `ids` is then empty.
    virtual bool listReaderIds(std::vector<std::string>& ids) = 0;
    // What failed, after listReaderIds said false; empty when not known.
    virtual std::string searchProblem() const { return {}; }
};

std::unique_ptr<HidEnumerator> makeSystemHidEnumerator();

} // namespace tarvex
