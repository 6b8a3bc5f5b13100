// doctor's facts on Linux: udev for the reader's nodes and their
// properties, the file system for pcscd, the rules and the tools, the
// environment for the display.
#include "doctor_checks.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <libudev.h>
#include <unistd.h>
#include <zn480/udev_ptr.h>

namespace tarvexctl {
namespace {

constexpr const char* kRulesName = "70-zn480.rules";

bool isReaderDevice(udev_device* dev)
{
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
    const char* vendor = usb ? udev_device_get_sysattr_value(usb, "idVendor") : nullptr;
    return vendor && strcasecmp(vendor, "6a4e") == 0;
}

class LinuxDoctor final : public DoctorSystem {
public:
    std::optional<bool> pcscDaemonInstalled() override
    {
        for (const char* path : {"/usr/sbin/pcscd", "/sbin/pcscd"})
            if (::access(path, X_OK) == 0)
                return true;
        return false;
    }

    bool fileExists(const std::string& path) override { return ::access(path.c_str(), F_OK) == 0; }

    std::optional<std::vector<ReaderNode>> readerNodes() override
    {
        std::vector<ReaderNode> nodes;
        zn480::UdevPtr ctx(udev_new());
        if (!ctx)
            return nodes;
        for (const char* subsystem : {"tty", "hidraw", "input"}) {
            zn480::UdevEnumeratePtr en(udev_enumerate_new(ctx.get()));
            if (!en || udev_enumerate_add_match_subsystem(en.get(), subsystem) < 0
                || udev_enumerate_scan_devices(en.get()) < 0)
                continue;
            udev_list_entry* entry;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get()))
            {
                zn480::UdevDevicePtr dev(udev_device_new_from_syspath(ctx.get(), udev_list_entry_get_name(entry)));
                if (!dev)
                    continue;
                const char* node = udev_device_get_devnode(dev.get());
                const char* sysname = udev_device_get_sysname(dev.get());
                if (!node || !sysname || !isReaderDevice(dev.get()))
                    continue;
                ReaderNode n;
                if (std::strcmp(subsystem, "input") == 0) {
                    // The keyboard's event node is what the LED pattern is
                    // written to; its other input nodes do not matter.
                    if (std::strncmp(sysname, "event", 5) != 0)
                        continue;
                    n.kind = "event";
                } else {
                    n.kind = subsystem;
                }
                n.path = node;
                // The user's own rights, without opening the node: an open of
                // a tty is something the device behind it notices.
                if (::access(node, R_OK | W_OK) != 0) {
                    n.error = errno;
                    n.errorText = std::strerror(n.error);
                }
                const char* ignore = udev_device_get_property_value(dev.get(), "ID_MM_DEVICE_IGNORE");
                n.modemManagerIgnores = ignore && std::strcmp(ignore, "1") == 0;
                nodes.push_back(std::move(n));
            }
        }
        return nodes;
    }

    std::optional<std::string> udevRules() override
    {
        for (const char* dir : {"/etc/udev/rules.d/", "/usr/lib/udev/rules.d/", "/lib/udev/rules.d/"}) {
            const std::string path = std::string(dir) + kRulesName;
            if (::access(path.c_str(), R_OK) == 0)
                return path;
        }
        return std::string();
    }

    std::string display() override
    {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if (wayland && *wayland)
            return std::string("Wayland (WAYLAND_DISPLAY=") + wayland + ")";
        const char* x = std::getenv("DISPLAY");
        if (x && *x)
            return std::string("X11 (DISPLAY=") + x + ")";
        return "console";
    }

    std::optional<bool> usbSerialDriver() override { return std::nullopt; }
};

} // namespace

std::unique_ptr<DoctorSystem> makeSystemDoctor()
{
    return std::make_unique<LinuxDoctor>();
}

} // namespace tarvexctl
