// How a ZN480 in keyboard personality shows itself to the Linux HID layer:
// the "hid" device's HID_ID property is "BBBB:VVVVVVVV:PPPPPPPP" in
// upper-case hex (bus, USB vendor 6A4E, product 0013). The Tarvex scan
// counts such devices and kbflash writes to their keyboards, so both use
// this one test.
#pragma once
#include <cstring>

namespace zn480 {

// Any bus; the comparison is exact, like the Windows identifier test.
inline bool isReaderHidId(const char* hidId)
{
    if (!hidId)
        return false;
    const char* v = std::strchr(hidId, ':');
    if (!v)
        return false;
    return std::strcmp(v, ":00006A4E:00000013") == 0;
}

} // namespace zn480
