// The Windows backends of the drive list, the serial-port map and the HID
// enumeration, run on Windows or under Wine.
#include "modUSB.h"
#include "platform/drives.h"
#include "platform/hid_enum.h"
#include "platform/serial_map.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

using namespace tarvex;

namespace {

TEST(WindowsDrives, SystemDriveIsAFixedReadableRoot)
{
    auto drives = makeSystemDrives();
    const auto entries = drives->list();
    ASSERT_NE(std::find(entries.begin(), entries.end(), "c:"), entries.end());
    for (const auto& e : entries) {
        ASSERT_EQ(e.size(), 2u) << e;
        EXPECT_TRUE(e[0] >= 'a' && e[0] <= 'z') << e;
        EXPECT_EQ(e[1], ':') << e;
    }
    EXPECT_EQ(drives->driveType("c:"), DRIVE_TYPE_FIXED);

    std::vector<std::string> files{"stale"};
    ASSERT_TRUE(drives->listRootFiles("c:", files));
    // Folders such as "windows" are never listed as files.
    for (const auto& f : files) {
        const DWORD attributes = GetFileAttributesA(("c:\\" + f).c_str());
        EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << f;
    }
}

TEST(WindowsDrives, LetterWithoutADriveIsNotReadable)
{
    auto drives = makeSystemDrives();
    const auto entries = drives->list();
    std::string unused;
    for (char l = 'z'; l > 'c' && unused.empty(); --l) {
        const std::string e = std::string(1, l) + ":";
        if (std::find(entries.begin(), entries.end(), e) == entries.end()) unused = e;
    }
    ASSERT_FALSE(unused.empty());
    EXPECT_NE(drives->driveType(unused), DRIVE_TYPE_FIXED);
    std::vector<std::string> files{"stale"};
    EXPECT_FALSE(drives->listRootFiles(unused, files));
    EXPECT_TRUE(files.empty());
}

TEST(WindowsSerialMap, ValuesComeBackRawWithTheirTerminator)
{
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", &key) != ERROR_SUCCESS)
        GTEST_SKIP() << "no write access to the serial-port map";
    const char name[] = "\\Device\\USBSER099";
    const char data[] = "COM42";
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data),
              ERROR_SUCCESS);

    auto values = makeSystemSerialPortMap()->read();
    RegDeleteValueA(key, name);
    RegCloseKey(key);
    ASSERT_TRUE(values);
    bool found = false;
    for (const auto& v : *values)
        if (v.name == name) {
            found = true;
            EXPECT_EQ(v.data, std::string("COM42", 5) + std::string(1, '\0'));
        }
    EXPECT_TRUE(found);
}

TEST(WindowsHidEnumeration, AnswersWithoutThrowingAndOnlyReaderIds)
{
    std::vector<std::string> ids;
    const bool ok = makeSystemHidEnumerator()->listReaderIds(ids);
    std::printf("management service %s, %u reader interfaces\n", ok ? "answered" : "failed",
                unsigned(ids.size()));
    if (!ok) {
        EXPECT_TRUE(ids.empty());
    }
    for (const auto& id : ids) EXPECT_TRUE(IsZnHidDeviceId(id)) << id;
}

} // namespace
