// Linux serial-port map: the same answers as the Windows SERIALCOMM key,
// built from udev. Port numbers follow the shared port map (serchan_portmap.h), so
// "COMn" names the node that serchan opens for port n. USB CDC ports
// (driver cdc_acm, the ttyACM family) are named like the USBSER driver's
// values, "\Device\USBSER000", so the scan probes exactly those.
//
// When ZN480_DEV_DIR names a folder (tests, the demo, users pointing COM
// numbers at ptys), the map lists that folder's ttyACM*/ttyUSB*/ttyS*
// entries instead of asking udev for the ports; links are followed and
// dangling ones are left out, since serchan could not open them either.
// udev is still asked who is behind each node, by the device number the
// entry leads to; a node it does not know is one the user named.
//
// The USB device behind a port is its "usb_device" parent: its idVendor,
// and as identity its syspath with the bus and device numbers, since the
// kernel gives a device a new number each time it is plugged in.
#include "platform/serial_map.h"

#include <serchan_portmap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <libudev.h>
#include <zn480/test_hooks.h>
#include <zn480/udev_ptr.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvex {
namespace {

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};

struct Port {
    int number = 0;
    bool usbCdc = false;
    uint16_t usbVendor = 0;
    std::string instance;
    bool userNamed = false;
};

std::string sysattr(udev_device* dev, const char* name)
{
    const char* v = udev_device_get_sysattr_value(dev, name);
    return v ? v : "";
}

// Fills in the USB device behind `tty`, when it has one.
void describeUsbDevice(udev_device* tty, Port& port)
{
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (!usb)
        return;
    const std::string vendor = sysattr(usb, "idVendor");
    char* end = nullptr;
    const unsigned long id = std::strtoul(vendor.c_str(), &end, 16);
    if (!vendor.empty() && end && *end == '\0' && id <= 0xFFFF)
        port.usbVendor = uint16_t(id);
    port.instance
        = std::string(udev_device_get_syspath(usb)) + " " + sysattr(usb, "busnum") + ":" + sysattr(usb, "devnum");
}

// The USB driver behind a tty: the driver of its USB interface parent, or
// what udev's database recorded for it.
bool servedByCdcAcm(udev_device* tty)
{
    // Parents are owned by the child: no unref for them.
    for (udev_device* p = udev_device_get_parent(tty); p; p = udev_device_get_parent(p)) {
        const char* subsystem = udev_device_get_subsystem(p);
        const char* devtype = udev_device_get_devtype(p);
        if (subsystem && std::strcmp(subsystem, "usb") == 0 && devtype && std::strcmp(devtype, "usb_interface") == 0) {
            const char* driver = udev_device_get_driver(p);
            if (driver)
                return std::strcmp(driver, "cdc_acm") == 0;
            break;
        }
    }
    const char* prop = udev_device_get_property_value(tty, "ID_USB_DRIVER");
    return prop && std::strcmp(prop, "cdc_acm") == 0;
}

bool isAcmName(const char* name)
{
    return std::strncmp(name, "ttyACM", 6) == 0;
}

std::optional<std::vector<Port>> portsFromUdev()
{
    zn480::UdevPtr ctx(udev_new());
    if (!ctx)
        return std::nullopt;
    zn480::UdevEnumeratePtr en(udev_enumerate_new(ctx.get()));
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "tty") < 0 || udev_enumerate_scan_devices(en.get()) < 0)
        return std::nullopt;
    std::vector<Port> ports;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get()))
    {
        zn480::UdevDevicePtr dev(udev_device_new_from_syspath(ctx.get(), udev_list_entry_get_name(entry)));
        if (!dev)
            continue;
        const char* sysname = udev_device_get_sysname(dev.get());
        int number = zn_port_from_kernel_name(sysname);
        if (number == 0)
            continue;
        Port port;
        port.number = number;
        port.usbCdc = isAcmName(sysname) || servedByCdcAcm(dev.get());
        describeUsbDevice(dev.get(), port);
        ports.push_back(std::move(port));
    }
    return ports;
}

std::optional<std::vector<Port>> portsFromFolder(const char* dir)
{
    std::unique_ptr<DIR, DirClose> d(opendir(dir));
    if (!d)
        return std::nullopt;
    zn480::UdevPtr ctx(udev_new()); // may be null: then nothing is known
    std::vector<Port> ports;
    while (dirent* e = readdir(d.get())) {
        int number = zn_port_from_kernel_name(e->d_name);
        if (number == 0)
            continue;
        std::string path = std::string(dir) + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;
        Port port;
        port.number = number;
        port.usbCdc = isAcmName(e->d_name);
        // Asked by the device number of what the entry leads to, not by
        // its name: a link ttyACM2 -> /dev/pts/5 is the pty, not the modem
        // that may be /dev/ttyACM2.
        zn480::UdevDevicePtr dev(
            ctx && S_ISCHR(st.st_mode) ? udev_device_new_from_devnum(ctx.get(), 'c', st.st_rdev) : nullptr);
        const char* subsystem = dev ? udev_device_get_subsystem(dev.get()) : nullptr;
        if (!subsystem || std::strcmp(subsystem, "tty") != 0)
            dev.reset(); // not a serial port udev knows: the user's own
        if (dev) {
            port.usbCdc = port.usbCdc || servedByCdcAcm(dev.get());
            describeUsbDevice(dev.get(), port);
        } else {
            // Re-linked on every plug: the link's own change time tells plugs apart.
            port.userNamed = true;
            struct stat link;
            char target[512] = {};
            if (lstat(path.c_str(), &link) == 0) {
                const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
                port.instance = std::string(target, n > 0 ? size_t(n) : 0) + " " + std::to_string(link.st_ctim.tv_sec)
                    + "." + std::to_string(link.st_ctim.tv_nsec);
            }
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

// The port number of "COM<digits>"; 0 when the name is not one.
int portNumberOf(const std::string& port)
{
    if (port.size() < 4 || port.size() > 6 || port.compare(0, 3, "COM") != 0)
        return 0;
    int n = 0;
    for (size_t i = 3; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9')
            return 0;
        n = n * 10 + (port[i] - '0');
    }
    return n;
}

class UdevSerialPortMap : public SerialPortMap {
public:
    std::optional<std::vector<SerialMapValue>> read() override
    {
        const char* dir = zn480_test_hook(ZN_PORTMAP_ENV);
        const bool folder = dir && *dir;
        errno = 0;
        auto ports = folder ? portsFromFolder(dir) : portsFromUdev();
        if (!ports) {
            const int error = errno;
            readProblem_ = folder ? std::string("the folder ") + ZN_PORTMAP_ENV + " names (" + dir
                    + ") cannot be read: " + std::strerror(error)
                                  : std::string("udev could not list the tty devices");
            return std::nullopt;
        }
        readProblem_.clear();
        std::sort(ports->begin(), ports->end(), [](const Port& a, const Port& b) { return a.number < b.number; });
        ports->erase(std::unique(ports->begin(), ports->end(),
                         [](const Port& a, const Port& b) { return a.number == b.number; }),
            ports->end());
        std::vector<SerialMapValue> values;
        int cdcIndex = 0, otherIndex = 0;
        char name[64];
        for (const Port& p : *ports) {
            if (p.usbCdc)
                std::snprintf(name, sizeof name, "\\Device\\USBSER%03d", cdcIndex++);
            else
                std::snprintf(name, sizeof name, "\\Device\\Serial%d", otherIndex++);
            SerialMapValue v;
            v.name = name;
            v.data = "COM" + std::to_string(p.number) + std::string(1, '\0');
            v.usbVendor = p.usbVendor;
            v.instance = p.instance;
            v.userNamed = p.userNamed;
            values.push_back(std::move(v));
        }
        return values;
    }

    std::string readProblem() const override { return readProblem_; }

    std::string accessProblem(const std::string& port) const override
    {
        char path[512];
        if (zn_port_device_path(portNumberOf(port), path, sizeof path) != 0)
            return {};
        // access() asks with the real user's rights, which is who opens it.
        if (::access(path, R_OK | W_OK) == 0)
            return {};
        const int error = errno;
        if (error != EACCES && error != EPERM)
            return {};
        return std::string(path) + ": " + std::strerror(error);
    }

private:
    std::string readProblem_;
};

} // namespace

std::unique_ptr<SerialPortMap> makeSystemSerialPortMap()
{
    return std::make_unique<UdevSerialPortMap>();
}

} // namespace tarvex
