// Recognising a reader's HID interface in the text the Windows management
// service reports. Plain string handling, so it runs on every build.
#include "platform/hid_device_id.h"

#include <gtest/gtest.h>

using namespace tarvex;

TEST(IsZnHidDeviceId, FixedPositionsExactCase)
{
    struct Case {
        const char* id;
        bool match;
    };
    const Case cases[] = {
        {"HID\\VID_6A4E&PID_0013\\7&1A2B3C4D&0&0000", true},
        {"HID\\VID_6A4E&PID_0013&MI_01\\8&2&0&0000", true},
        {"HID\\VID_6A4E&PID_0013", true},     // exactly 21 characters
        {"HID\\VID_6A4E&PID_001", false},     // one short: no read past the end
        {"HID\\VID_6a4e&PID_0013\\1", false}, // lower-case hex
        {"HID\\VID_6A4E&PID_0014\\1", false}, // other product
        {"HID\\VID_1234&PID_0013\\1", false}, // other vendor
        {"USB\\VID_6A4E&PID_0013\\1", false}, // the USB parent is not counted
        {"hid\\VID_6A4E&PID_0013\\1", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsZnHidDeviceId(c.id), c.match) << c.id;
}

TEST(DeviceIdFromDependent, TextBetweenFirstAndSecondEquals)
{
    struct Case {
        const char* dependent;
        const char* id;
    };
    const Case cases[] = {
        {"\\\\PC\\root\\cimv2:Win32_PnPEntity.DeviceID=\"HID\\\\VID_6A4E&PID_0013\\\\7&1&0&0000\"",
            "HID\\\\VID_6A4E&PID_0013\\\\7&1&0&0000"},
        {"a=b=c", "b"},
        {"a=", ""},
        {"no equals sign", ""},
        {"\"\"=\"x\"", "x"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DeviceIdFromDependent(c.dependent), c.id) << c.dependent;
}
