// The HID personality in a umockdev testbed. umockdev.h first: it pulls in
// GLib, whose headers must come before anything else that might define
// the same macros.
#include <umockdev.h>

#include "led_watch.h"
#include "zn480sim/device.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace zn480sim {

struct HidHost::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    std::string link; // the file naming the testbed folder
    int interfaces = 1;
    std::string display;
    std::vector<std::string> syspaths; // added devices, parents first
    unsigned sequence = 0;             // the kernel numbers HID devices on
    LedWatch watch;
    std::string watchProblem;
    std::mutex cbMu;
    std::function<void()> onPattern;

    // Adds one device in umockdev's record format: P (path below /sys),
    // E (properties), A (attributes), L (links). The record form needs no
    // parent check against the real /sys, so the owner runs without the
    // umockdev preload.
    bool add(const std::string& devpath, std::vector<std::pair<std::string, std::string>> props,
             std::vector<std::pair<std::string, std::string>> attrs, const char* driverBus, const char* driver)
    {
        std::string rec = "P: " + devpath + "\n";
        for (auto& [k, v] : props)
            rec += "E: " + k + "=" + v + "\n";
        if (driver)
            rec += std::string("E: DRIVER=") + driver + "\n";
        for (auto& [k, v] : attrs)
            rec += "A: " + k + "=" + v + "\n";
        if (driver) {
            // The link is relative to the device's folder, as in sysfs.
            std::string up;
            for (char c : devpath)
                if (c == '/')
                    up += "../";
            rec += "L: driver=" + up + "bus/" + driverBus + "/drivers/" + driver + "\n";
        }
        GError* err = nullptr;
        const bool ok = umockdev_testbed_add_from_string(testbed, (rec + "\n").c_str(), &err);
        if (err)
            g_error_free(err);
        if (ok)
            syspaths.push_back("/sys" + devpath); // adding sends the "add" uevent
        return ok;
    }
};

HidHost::HidHost(std::string testbedFile, int interfaces, std::string display) : impl_(std::make_unique<Impl>())
{
    impl_->interfaces = interfaces < 1 ? 1 : interfaces;
    impl_->display = std::move(display);
    impl_->testbed = umockdev_testbed_new();
    if (!impl_->testbed)
        return;
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
    impl_->root = root ? root : "";
    g_free(root);
    if (!testbedFile.empty()) {
        // Written beside the target and renamed, so a reader never sees half.
        const std::string tmp = testbedFile + ".tmp";
        std::FILE* f = std::fopen(tmp.c_str(), "w");
        if (f) {
            const bool written = std::fprintf(f, "%s\n", impl_->root.c_str()) > 0;
            if (std::fclose(f) == 0 && written && std::rename(tmp.c_str(), testbedFile.c_str()) == 0)
                impl_->link = std::move(testbedFile);
            else
                ::unlink(tmp.c_str());
        }
    }
}

HidHost::~HidHost()
{
    disappear();
    if (!impl_->link.empty())
        ::unlink(impl_->link.c_str());
    if (impl_->testbed)
        g_object_unref(impl_->testbed); // removes the testbed's folder
}

bool HidHost::ok() const { return impl_->testbed != nullptr && !impl_->root.empty(); }

std::string HidHost::testbedDir() const { return impl_->root; }

void HidHost::onPattern(std::function<void()> cb)
{
    std::lock_guard lk(impl_->cbMu);
    impl_->onPattern = std::move(cb);
}

std::string HidHost::watchProblem() const { return impl_->watchProblem; }

bool HidHost::appear()
{
    if (present_)
        return true;
    if (!ok())
        return false;
    Impl& m = *impl_;
    // A full-speed USB device on the first root hub port, one HID boot
    // keyboard interface per requested interface.
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    bool ok = m.add(usb, {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"ID_VENDOR_ID", "6a4e"},
                          {"ID_MODEL_ID", "0013"}, {"PRODUCT", "6a4e/13/100"}},
                    {{"idVendor", "6a4e"}, {"idProduct", "0013"}, {"product", "ZN480"}}, "usb", "usb");
    for (int i = 0; ok && i < m.interfaces; ++i) {
        const std::string intf = usb + "/1-1:1." + std::to_string(i);
        ok = m.add(intf, {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"INTERFACE", "3/1/1"}},
                   {{"bInterfaceClass", "03"}, {"bInterfaceNumber", "0" + std::to_string(i)}}, "usb", "usbhid");
        if (!ok)
            break;
        char hidName[32];
        std::snprintf(hidName, sizeof hidName, "0003:6A4E:0013.%04X", ++m.sequence & 0xFFFF);
        ok = m.add(intf + "/" + hidName,
                   {{"SUBSYSTEM", "hid"}, {"HID_ID", "0003:00006A4E:00000013"}, {"HID_NAME", "ZN480 Keyboard"},
                    {"HID_PHYS", "usb-0000:00:14.0-1/input" + std::to_string(i)}},
                   {}, "hid", "hid-generic");
    }
    if (!ok) {
        disappear();
        return false;
    }
    present_ = true;

    m.watchProblem.clear();
    if (m.display != "none") {
        std::string error;
        if (!m.watch.start(m.display,
                           [this] {
                               std::function<void()> cb;
                               {
                                   std::lock_guard lk(impl_->cbMu);
                                   cb = impl_->onPattern;
                               }
                               if (cb)
                                   cb();
                           },
                           error))
            m.watchProblem = error;
    } else {
        m.watchProblem = "LED watching is off";
    }
    return true;
}

void HidHost::disappear()
{
    Impl& m = *impl_;
    m.watch.stop();
    // Children first, as the kernel removes them.
    // Removing sends no uevent of its own: announce it as the kernel would.
    // (umockdev delivers uevents only from a process under its preload, so
    // run the simulator under umockdev-wrapper for monitors to see them.)
    for (auto it = m.syspaths.rbegin(); it != m.syspaths.rend(); ++it) {
        umockdev_testbed_uevent(m.testbed, it->c_str(), "remove");
        umockdev_testbed_remove_device(m.testbed, it->c_str());
    }
    m.syspaths.clear();
    present_ = false;
}

std::string HidHost::describe() const
{
    std::string s = "HID keyboard 6A4E:0013 (" + std::to_string(impl_->interfaces) + " interface" +
                    (impl_->interfaces == 1 ? "" : "s") + ") in the umockdev testbed " +
                    impl_->root;
    if (!impl_->watchProblem.empty())
        s += "; LEDs not watched: " + impl_->watchProblem;
    else
        s += "; watching the lock-key LEDs";
    return s;
}

} // namespace zn480sim
