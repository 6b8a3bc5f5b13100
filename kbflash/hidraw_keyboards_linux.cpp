#include "hidraw_keyboards.h"

#include <zn480/hid_id.h>
#include <zn480/udev_ptr.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

namespace kbflash {
namespace {

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) { }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};

struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The HID device behind a node, when it is a working interface of the reader.
udev_device* readerHidParent(udev_device* dev)
{
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
    return hid && zn480::isReaderHidId(udev_device_get_property_value(hid, "HID_ID")) && udev_device_get_driver(hid)
        ? hid
        : nullptr;
}

std::vector<uint8_t> readDescriptor(const std::string& hidSyspath)
{
    std::vector<uint8_t> desc(4097);
    std::unique_ptr<std::FILE, FileClose> f(std::fopen((hidSyspath + "/report_descriptor").c_str(), "rb"));
    if (!f)
        return {};
    desc.resize(std::fread(desc.data(), 1, desc.size(), f.get()));
    return desc;
}

struct Node {
    std::string syspath, devnode, hidSyspath;
};

// The states of the three indicators as the kernel last set them on the
// interface's keyboard: its LED devices "inputN::capslock" and so on.
void readLedStates(udev* ctx, const std::string& hidSyspath, bool on[3])
{
    on[0] = on[1] = on[2] = false;
    zn480::UdevEnumeratePtr en(udev_enumerate_new(ctx));
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "leds") < 0 || udev_enumerate_scan_devices(en.get()) < 0)
        return;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get()))
    {
        const char* syspath = udev_list_entry_get_name(entry);
        if (std::strncmp(syspath, hidSyspath.c_str(), hidSyspath.size()) != 0 || syspath[hidSyspath.size()] != '/')
            continue;
        zn480::UdevDevicePtr led(udev_device_new_from_syspath(ctx, syspath));
        const char* name = led ? udev_device_get_sysname(led.get()) : nullptr;
        const char* colons = name ? std::strstr(name, "::") : nullptr;
        if (!colons)
            continue;
        const char* brightness = udev_device_get_sysattr_value(led.get(), "brightness");
        const bool lit = brightness && std::strtol(brightness, nullptr, 10) > 0;
        if (std::strcmp(colons, "::capslock") == 0)
            on[static_cast<int>(Key::Caps)] = lit;
        else if (std::strcmp(colons, "::numlock") == 0)
            on[static_cast<int>(Key::Num)] = lit;
        else if (std::strcmp(colons, "::scrolllock") == 0)
            on[static_cast<int>(Key::Scroll)] = lit;
    }
}

} // namespace

HidrawKeyboard::HidrawKeyboard(int fd, std::string path, LedReportLayout layout, bool caps, bool num, bool scroll)
    : fd_(fd), path_(std::move(path)), layout_(layout), on_{caps, num, scroll}
{
}

HidrawKeyboard::~HidrawKeyboard()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void HidrawKeyboard::setLed(Key key, bool on)
{
    on_[static_cast<int>(key)] = on;
    if (gone_)
        return;
    // One output report per change, with every indicator's state, as the
    // kernel's keyboard driver sends it.
    const std::vector<uint8_t> report = layout_.report(on_[0], on_[1], on_[2]);
    for (;;) {
        const ssize_t n = ::write(fd_, report.data(), report.size());
        if (n < 0 && errno == EINTR)
            continue;
        // A reader that has recognised the pattern restarts and its node
        // goes away (ENODEV): the pattern's timing goes on for the others.
        if (n < 0 && (errno == ENODEV || errno == EIO))
            gone_ = true;
        return;
    }
}

HidrawScan openReaderKeyboards()
{
    HidrawScan scan;
    zn480::UdevPtr ctx(udev_new());
    zn480::UdevEnumeratePtr en(ctx ? udev_enumerate_new(ctx.get()) : nullptr);
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "hidraw") < 0
        || udev_enumerate_add_match_subsystem(en.get(), "hid") < 0 || udev_enumerate_scan_devices(en.get()) < 0) {
        scan.udevFailed = true;
        return scan;
    }
    std::vector<Node> nodes;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get()))
    {
        const char* syspath = udev_list_entry_get_name(entry);
        zn480::UdevDevicePtr dev(udev_device_new_from_syspath(ctx.get(), syspath));
        if (!dev)
            continue;
        const char* subsystem = udev_device_get_subsystem(dev.get());
        if (subsystem && std::strcmp(subsystem, "hid") == 0) {
            if (zn480::isReaderHidId(udev_device_get_property_value(dev.get(), "HID_ID"))
                && udev_device_get_driver(dev.get()))
                ++scan.readers;
        } else if (const char* devnode = udev_device_get_devnode(dev.get())) {
            if (udev_device* hid = readerHidParent(dev.get()))
                nodes.push_back({syspath, devnode, udev_device_get_syspath(hid)});
        }
    }
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) { return a.syspath < b.syspath; });

    for (const Node& n : nodes) {
        // Interfaces without keyboard LEDs (a reader's second interface)
        // are no keyboard to signal, and are not opened.
        const std::vector<uint8_t> desc = readDescriptor(n.hidSyspath);
        const auto layout = findLedReport(desc.data(), desc.size());
        if (!layout)
            continue;
        // Write-only: the report is all that is sent, and nothing is read.
        Fd fd(::open(n.devnode.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd.fd < 0) {
            if (errno == EACCES || errno == EPERM)
                scan.denied.push_back(n.devnode);
            else
                scan.failed.push_back(n.devnode + ": " + std::strerror(errno));
            continue;
        }
        bool on[3];
        readLedStates(ctx.get(), n.hidSyspath, on);
        scan.opened.push_back(std::make_unique<HidrawKeyboard>(fd.release(), n.devnode, *layout,
            on[static_cast<int>(Key::Caps)], on[static_cast<int>(Key::Num)], on[static_cast<int>(Key::Scroll)]));
    }
    return scan;
}

} // namespace kbflash
