// Linux serial-port map: the same answers as the Windows SERIALCOMM key,
// built from udev. Port numbers follow the shared port map (portmap.h), so
// "COMn" names the node that serchan opens for port n. USB CDC ports
// (driver cdc_acm, the ttyACM family) are named like the USBSER driver's
// values, "\Device\USBSER000", so the scan probes exactly those.
//
// When ZN480_DEV_DIR names a folder (tests, the demo, users pointing COM
// numbers at ptys), the map lists that folder's ttyACM*/ttyUSB*/ttyS*
// entries instead of asking udev; links are followed and dangling ones are
// left out, since serchan could not open them either.
#include "platform/serial_map.h"

#include "portmap.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <libudev.h>
#include <memory>
#include <sys/stat.h>

namespace tarvex {
namespace {

struct UdevUnref { void operator()(udev* u) const { udev_unref(u); } };
struct EnumUnref { void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); } };
struct DeviceUnref { void operator()(udev_device* d) const { udev_device_unref(d); } };
struct DirClose { void operator()(DIR* d) const { closedir(d); } };

struct Port {
    int number;
    bool usbCdc;
};

// The USB driver behind a tty: the driver of its USB interface parent, or
// what udev's database recorded for it.
bool servedByCdcAcm(udev_device* tty)
{
    // Parents are owned by the child: no unref for them.
    for (udev_device* p = udev_device_get_parent(tty); p; p = udev_device_get_parent(p)) {
        const char* subsystem = udev_device_get_subsystem(p);
        const char* devtype = udev_device_get_devtype(p);
        if (subsystem && std::strcmp(subsystem, "usb") == 0 && devtype &&
            std::strcmp(devtype, "usb_interface") == 0) {
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
    std::unique_ptr<udev, UdevUnref> ctx(udev_new());
    if (!ctx)
        return std::nullopt;
    std::unique_ptr<udev_enumerate, EnumUnref> en(udev_enumerate_new(ctx.get()));
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(en.get()) < 0)
        return std::nullopt;
    std::vector<Port> ports;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
        std::unique_ptr<udev_device, DeviceUnref> dev(
            udev_device_new_from_syspath(ctx.get(), udev_list_entry_get_name(entry)));
        if (!dev)
            continue;
        const char* sysname = udev_device_get_sysname(dev.get());
        int number = zn_port_from_kernel_name(sysname);
        if (number == 0)
            continue;
        ports.push_back({number, isAcmName(sysname) || servedByCdcAcm(dev.get())});
    }
    return ports;
}

std::optional<std::vector<Port>> portsFromFolder(const char* dir)
{
    std::unique_ptr<DIR, DirClose> d(opendir(dir));
    if (!d)
        return std::nullopt;
    std::vector<Port> ports;
    while (dirent* e = readdir(d.get())) {
        int number = zn_port_from_kernel_name(e->d_name);
        if (number == 0)
            continue;
        std::string path = std::string(dir) + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;
        ports.push_back({number, isAcmName(e->d_name)});
    }
    return ports;
}

class UdevSerialPortMap : public SerialPortMap {
public:
    std::optional<std::vector<SerialMapValue>> read() override
    {
        const char* dir = std::getenv(ZN_PORTMAP_ENV);
        auto ports = (dir && *dir) ? portsFromFolder(dir) : portsFromUdev();
        if (!ports)
            return std::nullopt;
        std::sort(ports->begin(), ports->end(),
                  [](const Port& a, const Port& b) { return a.number < b.number; });
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
            values.push_back({name, "COM" + std::to_string(p.number) + std::string(1, '\0')});
        }
        return values;
    }
};

} // namespace

std::unique_ptr<SerialPortMap> makeSystemSerialPortMap()
{
    return std::make_unique<UdevSerialPortMap>();
}

} // namespace tarvex
