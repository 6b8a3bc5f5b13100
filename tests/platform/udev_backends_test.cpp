// HID enumeration and the serial-port map read through libudev from a
// umockdev testbed. Runs under umockdev-wrapper.
#include <umockdev.h> // before anything that might pull in Qt

#include "platform/hid_enum.h"
#include "platform/serial_map.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdlib.h>
#include <unistd.h>
#include <string>

using namespace tarvex;

namespace {

class Testbed : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("ZN480_DEV_DIR"); // the udev path, not the folder override
        tb_ = umockdev_testbed_new();
        ASSERT_NE(tb_, nullptr);
    }
    void TearDown() override { g_object_unref(tb_); }

    std::string add(const char* subsystem, const char* name, const std::string& parent,
        std::initializer_list<const char*> attributes, std::initializer_list<const char*> properties)
    {
        std::vector<const gchar*> attrs(attributes), props(properties);
        attrs.push_back(nullptr);
        props.push_back(nullptr);
        gchar* path = umockdev_testbed_add_devicev(tb_, subsystem, name, parent.empty() ? nullptr : parent.c_str(),
            const_cast<gchar**>(attrs.data()), const_cast<gchar**>(props.data()));
        std::string result = path ? path : "";
        g_free(path);
        EXPECT_FALSE(result.empty()) << name;
        return result;
    }
    void bindDriver(const std::string& syspath, const char* bus, const char* driver)
    {
        umockdev_testbed_set_attribute_link(
            tb_, syspath.c_str(), "driver", (std::string("/sys/bus/") + bus + "/drivers/" + driver).c_str());
    }
    std::string usbDevice(const char* name, const char* vid, const char* pid)
    {
        return add("usb", name, "", {"idVendor", vid, "idProduct", pid},
            {"DEVTYPE", "usb_device", "ID_VENDOR_ID", vid, "ID_MODEL_ID", pid});
    }

    // The kernel's index of character devices by number, which udev reads
    // to find a device by its node's number (umockdev makes none).
    void charDevice(const std::string& syspath, const std::string& number)
    {
        gchar* root = umockdev_testbed_get_root_dir(tb_);
        const std::string dir = std::string(root) + "/sys/dev/char";
        g_free(root);
        ASSERT_EQ(g_mkdir_with_parents(dir.c_str(), 0755), 0);
        // syspath is "/sys/devices/...": relative to /sys/dev/char, "../../devices/...".
        ASSERT_EQ(symlink(("../.." + syspath.substr(4)).c_str(), (dir + "/" + number).c_str()), 0);
    }

    UMockdevTestbed* tb_ = nullptr;
};

TEST_F(Testbed, HidListsWorkingReaderInterfacesInSyspathOrder)
{
    const std::string reader = usbDevice("usb1", "6a4e", "0013");
    const std::string other = usbDevice("usb2", "046d", "c52b");
    struct Node {
        const char* name;
        std::string parent;
        const char* hidId;
        bool driver;
    };
    const Node nodes[] = {
        {"0003:6A4E:0013.0002", reader, "0003:00006A4E:00000013", true},
        {"0003:6A4E:0013.0001", reader, "0003:00006A4E:00000013", true},
        {"0003:6A4E:0013.0003", reader, "0003:00006A4E:00000013", false}, // no driver bound
        {"0003:6A4E:0013.0004", reader, "0003:00006a4e:00000013", true},  // lower-case hex
        {"0003:046D:C52B.0005", other, "0003:0000046D:0000C52B", true},   // another vendor
        {"0003:6A4E:0014.0006", reader, "0003:00006A4E:00000014", true},  // another product
        {"0005:6A4E:0013.0007", other, "0005:00006A4E:00000013", true},   // Bluetooth, not USB
    };
    std::vector<std::string> paths;
    for (const Node& n : nodes) {
        paths.push_back(add("hid", n.name, n.parent, {}, {"HID_ID", n.hidId, "HID_NAME", "ZN480"}));
        if (n.driver)
            bindDriver(paths.back(), "hid", "hid-generic");
    }

    auto hid = makeSystemHidEnumerator();
    std::vector<std::string> ids{"stale"};
    ASSERT_TRUE(hid->listReaderIds(ids));
    EXPECT_EQ(ids,
        (std::vector<std::string>{
            "HID\\VID_6A4E&PID_0013\\0003:6A4E:0013.0001", "HID\\VID_6A4E&PID_0013\\0003:6A4E:0013.0002"}));

    // An interface that goes away is no longer listed on the next call.
    umockdev_testbed_remove_device(tb_, paths[1].c_str());
    ASSERT_TRUE(hid->listReaderIds(ids));
    EXPECT_EQ(ids, (std::vector<std::string>{"HID\\VID_6A4E&PID_0013\\0003:6A4E:0013.0002"}));
}

TEST_F(Testbed, HidWithoutDevicesIsAnEmptySuccess)
{
    std::vector<std::string> ids{"stale"};
    EXPECT_TRUE(makeSystemHidEnumerator()->listReaderIds(ids));
    EXPECT_TRUE(ids.empty());
}

TEST_F(Testbed, SerialMapNamesCdcPortsLikeUsbserAndOrdersByPort)
{
    const std::string dev = usbDevice("usb1", "6a4e", "0013");
    const std::string iface = add("usb", "usb1:1.0", dev, {}, {"DEVTYPE", "usb_interface"});
    bindDriver(iface, "usb", "cdc_acm");
    add("tty", "ttyACM0", iface, {}, {"DEVNAME", "/dev/ttyACM0"});
    add("tty", "ttyS1", "", {}, {"DEVNAME", "/dev/ttyS1"});
    add("tty", "ttyUSB0", "", {}, {"DEVNAME", "/dev/ttyUSB0"});
    add("tty", "ttyACM5", "", {}, {"DEVNAME", "/dev/ttyACM5"});
    add("tty", "tty3", "", {}, {"DEVNAME", "/dev/tty3"});     // a console: no port number
    add("tty", "ttyS64", "", {}, {"DEVNAME", "/dev/ttyS64"}); // beyond the map

    auto map = makeSystemSerialPortMap()->read();
    ASSERT_TRUE(map);
    const std::string nul(1, '\0');
    std::vector<std::pair<std::string, std::string>> got;
    for (auto& v : *map)
        got.emplace_back(v.name, v.data);
    EXPECT_EQ(got,
        (std::vector<std::pair<std::string, std::string>>{
            {"\\Device\\USBSER000", "COM1" + nul},
            {"\\Device\\USBSER001", "COM6" + nul},
            {"\\Device\\Serial0", "COM65" + nul},
            {"\\Device\\Serial1", "COM130" + nul},
        }));
}

TEST_F(Testbed, SerialMapTellsTheUsbDeviceBehindEachPort)
{
    const std::string reader
        = add("usb", "usb1", "", {"idVendor", "6a4e", "busnum", "1", "devnum", "7"}, {"DEVTYPE", "usb_device"});
    const std::string modem
        = add("usb", "usb2", "", {"idVendor", "1234", "busnum", "1", "devnum", "9"}, {"DEVTYPE", "usb_device"});
    add("tty", "ttyACM0", add("usb", "usb1:1.0", reader, {}, {"DEVTYPE", "usb_interface"}), {}, {});
    add("tty", "ttyACM1", add("usb", "usb2:1.0", modem, {}, {"DEVTYPE", "usb_interface"}), {}, {});
    add("tty", "ttyS0", "", {}, {});

    auto read = [] {
        auto map = makeSystemSerialPortMap()->read();
        EXPECT_TRUE(map);
        return map ? *map : std::vector<SerialMapValue>{};
    };
    std::vector<SerialMapValue> v = read();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].usbVendor, 0x6A4E);
    EXPECT_EQ(v[1].usbVendor, 0x1234);
    EXPECT_EQ(v[2].usbVendor, 0); // no USB device
    EXPECT_EQ(v[2].instance, "");
    EXPECT_NE(v[0].instance, v[1].instance);
    EXPECT_FALSE(v[0].userNamed || v[1].userNamed || v[2].userNamed);

    // Plugged in again, the device has a new number, so a new identity.
    const std::string before = v[1].instance;
    umockdev_testbed_set_attribute(tb_, modem.c_str(), "devnum", "10");
    EXPECT_NE(read()[1].instance, before);
}

// In the folder override udev still tells who is behind each entry, asked by
// the device number of the node the entry leads to, whatever the entry's
// name: a link named like a modem's port but pointing at the reader's node
// is the reader, and one pointing at a node udev has no serial port for
// (a pty, here /dev/full) is the user's own, probed on every scan.
TEST_F(Testbed, SerialMapFolderAsksUdevByTheTargetsDeviceNumber)
{
    // Real character nodes of this machine stand in for the ports' nodes:
    // the testbed's ttys claim their device numbers.
    const std::string reader
        = add("usb", "usb1", "", {"idVendor", "6a4e", "busnum", "1", "devnum", "7"}, {"DEVTYPE", "usb_device"});
    const std::string modem
        = add("usb", "usb2", "", {"idVendor", "1234", "busnum", "1", "devnum", "9"}, {"DEVTYPE", "usb_device"});
    charDevice(add("tty", "ttyACM0", add("usb", "usb1:1.0", reader, {}, {"DEVTYPE", "usb_interface"}), {"dev", "1:3"},
                   {"MAJOR", "1", "MINOR", "3"}),
        "1:3");
    charDevice(add("tty", "ttyACM1", add("usb", "usb2:1.0", modem, {}, {"DEVTYPE", "usb_interface"}), {"dev", "1:5"},
                   {"MAJOR", "1", "MINOR", "5"}),
        "1:5");

    char dir[] = "/tmp/zn480-mapXXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string folder = dir;
    struct Link {
        const char* name;
        const char* target;
        uint16_t vendor;
        bool userNamed;
    };
    const Link links[] = {
        {"ttyACM1", "/dev/null", 0x6A4E, false}, // the modem's name, the reader's node
        {"ttyACM2", "/dev/zero", 0x1234, false}, // a name udev has no port for, the modem's node
        {"ttyACM3", "/dev/full", 0, true},       // a node udev has no port for
    };
    for (const Link& l : links)
        ASSERT_EQ(symlink(l.target, (folder + "/" + l.name).c_str()), 0);
    setenv("ZN480_DEV_DIR", folder.c_str(), 1);
    auto map = makeSystemSerialPortMap()->read();
    unsetenv("ZN480_DEV_DIR");
    for (const Link& l : links)
        unlink((folder + "/" + l.name).c_str());
    rmdir(dir);
    ASSERT_TRUE(map);
    ASSERT_EQ(map->size(), std::size(links));
    for (size_t i = 0; i < std::size(links); ++i) {
        const SerialMapValue& v = (*map)[i];
        EXPECT_EQ(v.usbVendor, links[i].vendor) << links[i].name;
        EXPECT_EQ(v.userNamed, links[i].userNamed) << links[i].name;
        EXPECT_NE(v.instance, "") << links[i].name;
    }
    // The reader's identity is its USB device's, as on the udev path.
    EXPECT_NE((*map)[0].instance, (*map)[1].instance);
}

} // namespace
