#include "core/list_entry.h"

#include <gtest/gtest.h>

namespace tarvex {
namespace {

TEST(ListEntry, ReadsEveryPersonalitysEntryAndGivesItsTextBack)
{
    struct Case {
        const char* text;
        Personality personality;
        const char* key;
        const char* address;
        const char* serial;
        const char* firmware;
        bool identity;
    } cases[] = {
        {"CCID ZN480 Sim 0 00 00", Personality::Ccid, "CCID ZN480 Sim 0 00 00", "ZN480 Sim 0 00 00", "", "", false},
        {"CCID ZN480 Sim 0 - 01020304 (2.166)", Personality::Ccid, "CCID ZN480 Sim 0", "ZN480 Sim 0", "01020304",
            "(2.166)", true},
        {"COM3 ZN480 CDC - 0A0B0C0D (2.170)", Personality::Cdc, "COM3 ZN480 CDC", "COM3", "0A0B0C0D", "(2.170)", true},
        {"HID ZN480 Keyboard 1", Personality::Hid, "HID ZN480 Keyboard 1", "ZN480 Keyboard 1", "", "", false},
        {"MSD ZN480 Mass Storage", Personality::Msd, "MSD ZN480 Mass Storage", "", "", "", false},
        // " - " inside a reader name: the key ends at the first one.
        {"CCID ZN480 - Sim 00 00 - 01020304 (2.166)", Personality::Ccid, "CCID ZN480", "ZN480", "Sim",
            "00 00 - 01020304 (2.166)", true},
        // A suffix read from a reader that did not answer: both parts empty.
        {"COM4 ZN480 CDC -  ", Personality::Cdc, "COM4 ZN480 CDC", "COM4", "", "", true},
        {"CCID", Personality::Ccid, "CCID", "", "", "", false},
        {"", Personality::Msd, "", "", "", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ListEntry e = ListEntry::parse(c.text);
        EXPECT_EQ(e.personality, c.personality);
        EXPECT_EQ(e.key, c.key);
        EXPECT_EQ(FilterExtra(c.text), c.key);
        EXPECT_EQ(e.address(), c.address);
        EXPECT_EQ(e.serial(), c.serial);
        EXPECT_EQ(e.firmware(), c.firmware);
        EXPECT_EQ(e.identity.has_value(), c.identity);
        EXPECT_EQ(e.text(), c.text);
    }
}

TEST(ListEntry, BuildsTheEntriesTheScanLists)
{
    EXPECT_EQ(ccidKey("ZN480 Sim 0") + identitySuffix("01020304", "(2.166)"), "CCID ZN480 Sim 0 - 01020304 (2.166)");
    EXPECT_EQ(cdcKey("COM3"), "COM3 ZN480 CDC");
    EXPECT_EQ(hidKey("ZN480 Keyboard 0"), "HID ZN480 Keyboard 0");
    // Reader names are bytes of the system's code page, kept as they came.
    const std::string latin1 = "ZN480 Caf\xE9";
    EXPECT_EQ(ListEntry::parse(ccidKey(latin1)).address(), latin1);
}

TEST(ListEntry, PortNumberOfACdcEntry)
{
    struct Case {
        const char* text;
        int32_t port;
    } cases[] = {
        {"COM3 ZN480 CDC - 01020304 (2.166)", 3},
        {"COM255 ZN480 CDC", 255},
        {"COM256 ZN480 CDC", 0},
        {"COM3x ZN480 CDC", 0},
        {"COM0 ZN480 CDC", 0},
        {"COM3", 0},
        {"CCID COM3", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(comPortOfEntry(c.text), c.port) << c.text;
}

TEST(ListEntry, FirmwareIsReadFromTheSuffixOnly)
{
    using R = FirmwareVersion::Reading;
    struct Case {
        const char* text;
        R reading;
        uint32_t major, minor;
    } cases[] = {
        {"COM3 ZN480 CDC - 01020304 (2.166)", R::Read, 2, 166},
        {"COM3 ZN480 CDC - 01020304 (10.0)", R::Read, 10, 0},
        {"CCID ZN480 (2.170) Sim", R::Unknown, 0, 0},        // "(" in a name, no suffix
        {"CCID ZN480 (2.170) - 01020304", R::Unknown, 0, 0}, // "(" before the suffix
        {"COM3 ZN480 CDC - 01020304 (2166)", R::Unreadable, 0, 0},
        {"COM3 ZN480 CDC - 01020304 (.166)", R::Unreadable, 0, 0},
        {"COM3 ZN480 CDC - 01020304 (2.)", R::Unreadable, 0, 0},
        {"COM3 ZN480 CDC - 01020304 (99999999999.4294967299)", R::Read, UINT32_MAX, UINT32_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const FirmwareVersion v = firmwareOfEntry(c.text);
        EXPECT_EQ(v.reading, c.reading);
        if (c.reading == R::Read) {
            EXPECT_EQ(v.major, c.major);
            EXPECT_EQ(v.minor, c.minor);
        }
    }
}

} // namespace
} // namespace tarvex
