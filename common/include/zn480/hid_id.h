// How a ZN480 in keyboard personality shows itself to the Linux HID layer:
// the "hid" device's HID_ID property is "BBBB:VVVVVVVV:PPPPPPPP" in
// upper-case hex (bus 0003 = USB, vendor 6A4E, product 0013). The Tarvex scan
// counts such devices and kbflash writes to their keyboards, so both use
// this one test.
#pragma once
#include <cstring>

namespace zn480 {

// Only bus 0003 (USB) counts: the same identifiers on Bluetooth (0005) or
// I2C are other devices, and the Windows scan too sees only devices below a
// USB controller. The comparison is exact, like the Windows identifier test.
inline bool isReaderHidId(const char* hidId)
{
    return hidId && std::strcmp(hidId, "0003:00006A4E:00000013") == 0;
}

} // namespace zn480
