// The port-number map that serchan's port layer and the program's serial-port
// map share: which kernel name and node each COM number has, the way back
// from a kernel name, and which ports count as USB CDC ports.
#include "serchan_portmap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Sets or clears the device-folder variable for one test and puts back what
// was there before.
class DevDirVariable {
public:
    explicit DevDirVariable(const char* value)
    {
        if (const char* old = std::getenv(ZN_PORTMAP_ENV)) {
            saved_ = old;
            hadOld_ = true;
        }
        if (value)
            setenv(ZN_PORTMAP_ENV, value, 1);
        else
            unsetenv(ZN_PORTMAP_ENV);
    }
    ~DevDirVariable()
    {
        if (hadOld_)
            setenv(ZN_PORTMAP_ENV, saved_.c_str(), 1);
        else
            unsetenv(ZN_PORTMAP_ENV);
    }

private:
    std::string saved_;
    bool hadOld_ = false;
};

struct TempDir {
    fs::path path;
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "serchan-portmap-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string kernelName(int port)
{
    char buf[32];
    return zn_port_kernel_name(port, buf, sizeof buf) == 0 ? buf : "<none>";
}

TEST(PortMap, FamiliesOfSixtyFourPortsAndNothingOutside)
{
    const struct {
        int port;
        const char* name;
    } cases[] = {
        {1, "ttyACM0"},
        {3, "ttyACM2"},
        {64, "ttyACM63"},
        {65, "ttyUSB0"},
        {128, "ttyUSB63"},
        {129, "ttyS0"},
        {192, "ttyS63"},
        {0, "<none>"},
        {-1, "<none>"},
        {193, "<none>"},
        {100000, "<none>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kernelName(c.port), c.name) << "COM" << c.port;
}

TEST(PortMap, KernelNameLeadsBackToItsPort)
{
    for (int port = 1; port <= 192; ++port)
        EXPECT_EQ(zn_port_from_kernel_name(kernelName(port).c_str()), port) << "COM" << port;
}

TEST(PortMap, OnlyExactKernelNamesHaveAPort)
{
    const char* const unmapped[] = {
        "ttyS01", // leading zero: not how the kernel names a node
        "ttyS",
        "ttyACM",  // no index
        "ttySAC0", // another driver's family that starts the same
        "ttyACM64",
        "ttyUSB100", // past the sixty-four of a family
        "ttyACM-1",
        "ttyS6a",
        "ttyAMA0",
        "console",
        "",
    };
    for (const char* name : unmapped)
        EXPECT_EQ(zn_port_from_kernel_name(name), 0) << name;
    EXPECT_EQ(zn_port_from_kernel_name(nullptr), 0);
}

TEST(PortMap, ResultsThatDoNotFitTheBufferAreRefused)
{
    char buf[16];
    EXPECT_EQ(zn_port_kernel_name(3, buf, 7), -1); // "ttyACM2" needs 8 with its terminator
    EXPECT_EQ(zn_port_kernel_name(3, buf, 8), 0);
    EXPECT_STREQ(buf, "ttyACM2");

    DevDirVariable dir("/dev");
    EXPECT_EQ(zn_port_device_path(3, buf, 12), -1); // "/dev/ttyACM2" needs 13
    EXPECT_EQ(zn_port_device_path(3, buf, 13), 0);
    EXPECT_STREQ(buf, "/dev/ttyACM2");
    EXPECT_EQ(zn_port_device_path(193, buf, sizeof buf), -1);
}

TEST(PortMap, DeviceFolderComesFromTheEnvironment)
{
    const struct {
        const char* value;
        const char* dir;
    } cases[] = {
        {nullptr, "/dev"},
        {"", "/dev"},
        {"/tmp/readers", "/tmp/readers"},
    };
    for (const auto& c : cases) {
        DevDirVariable dir(c.value);
        EXPECT_STREQ(zn_port_dev_dir(), c.dir) << (c.value ? c.value : "(unset)");
        char path[64];
        ASSERT_EQ(zn_port_device_path(130, path, sizeof path), 0);
        EXPECT_EQ(std::string(path), std::string(c.dir) + "/ttyS1");
    }
}

TEST(PortMap, UsbCdcPortsAreExistingTtyAcmNodes)
{
    TempDir folder;
    std::ofstream(folder.path / "ttyACM2") << "";
    std::ofstream(folder.path / "ttyUSB0") << "";
    std::ofstream(folder.path / "ttyS0") << "";
    DevDirVariable dir(folder.path.c_str());

    EXPECT_EQ(zn_port_is_usb_cdc(3), 1);
    EXPECT_EQ(zn_port_is_usb_cdc(1), 0);   // ttyACM0 does not exist
    EXPECT_EQ(zn_port_is_usb_cdc(65), 0);  // a USB serial adapter, not CDC
    EXPECT_EQ(zn_port_is_usb_cdc(129), 0); // an on-board UART
    EXPECT_EQ(zn_port_is_usb_cdc(0), 0);
    EXPECT_EQ(zn_port_is_usb_cdc(-5), 0);
}

} // namespace
