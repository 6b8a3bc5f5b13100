// The serial-port map read from a device folder (ZN480_DEV_DIR) instead of
// udev: what tests and the demo use to put ptys behind COM numbers.
#include "platform/serial_map.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace tarvex;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "zn480-devdir-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

TEST(SerialMapFolder, ListsExistingPortNodesInPortOrder)
{
    TempDir dir;
    std::ofstream(dir.path / "target") << "";
    std::ofstream(dir.path / "ttyACM2") << "";
    fs::create_symlink(dir.path / "target", dir.path / "ttyS1");    // a link, as to a pty
    fs::create_symlink(dir.path / "missing", dir.path / "ttyUSB0"); // dangling: nothing to open
    std::ofstream(dir.path / "ttyACM0") << "";
    std::ofstream(dir.path / "ttyACM01") << ""; // not a kernel name
    std::ofstream(dir.path / "ttyUSB3") << "";
    std::ofstream(dir.path / "console") << "";
    setenv("ZN480_DEV_DIR", dir.path.c_str(), 1);

    auto map = makeSystemSerialPortMap()->read();
    unsetenv("ZN480_DEV_DIR");
    ASSERT_TRUE(map);
    const std::string nul(1, '\0');
    std::vector<std::pair<std::string, std::string>> got;
    for (auto& v : *map)
        got.emplace_back(v.name, v.data);
    EXPECT_EQ(got,
        (std::vector<std::pair<std::string, std::string>>{
            {"\\Device\\USBSER000", "COM1" + nul},
            {"\\Device\\USBSER001", "COM3" + nul},
            {"\\Device\\Serial0", "COM68" + nul},
            {"\\Device\\Serial1", "COM130" + nul},
        }));
}

TEST(SerialMapFolder, MissingFolderCannotBeOpened)
{
    setenv("ZN480_DEV_DIR", "/nonexistent/zn480-devices", 1);
    auto map = makeSystemSerialPortMap()->read();
    unsetenv("ZN480_DEV_DIR");
    EXPECT_FALSE(map);
}

} // namespace
