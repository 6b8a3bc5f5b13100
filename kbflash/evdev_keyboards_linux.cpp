#include "evdev_keyboards.h"

#include <zn480/hid_id.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <zn480/udev_ptr.h>
#include <linux/input.h>
#include <sys/ioctl.h>
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

unsigned short ledCode(Key key)
{
    switch (key) {
    case Key::Caps:
        return LED_CAPSL;
    case Key::Num:
        return LED_NUML;
    case Key::Scroll:
        return LED_SCROLLL;
    }
    return LED_CAPSL;
}

bool bit(const unsigned char* bits, unsigned n)
{
    return (bits[n / 8] >> (n % 8)) & 1u;
}

// A sysfs capability mask ("120013", or several space-separated words):
// anything but zeros means the device has one of those capabilities.
bool anyBitSet(const char* mask)
{
    if (!mask)
        return false;
    for (const char* p = mask; *p; ++p)
        if (*p != '0' && *p != ' ' && *p != '\n')
            return true;
    return false;
}

// True for an event node of a keyboard with LEDs on a working interface of
// the reader.
bool isReaderKeyboard(udev_device* dev)
{
    const char* sysname = udev_device_get_sysname(dev);
    if (!sysname || std::strncmp(sysname, "event", 5) != 0 || !udev_device_get_devnode(dev))
        return false;
    const char* kbd = udev_device_get_property_value(dev, "ID_INPUT_KEYBOARD");
    if (!kbd || std::strcmp(kbd, "1") != 0)
        return false;
    udev_device* input = udev_device_get_parent_with_subsystem_devtype(dev, "input", nullptr);
    if (!input || !anyBitSet(udev_device_get_sysattr_value(input, "capabilities/led")))
        return false;
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
    return hid && zn480::isReaderHidId(udev_device_get_property_value(hid, "HID_ID"))
        && udev_device_get_driver(hid) != nullptr;
}

} // namespace

EvdevKeyboard::EvdevKeyboard(int fd, std::string path, bool caps, bool num, bool scroll)
    : fd_(fd), path_(std::move(path)), on_{caps, num, scroll}
{
}

EvdevKeyboard::~EvdevKeyboard()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void EvdevKeyboard::setLed(Key key, bool on)
{
    on_[static_cast<int>(key)] = on;
    if (gone_)
        return;
    // The LED change and the report that ends it in one write, so the
    // device gets one output report per change.
    input_event ev[2]{};
    ev[0].type = EV_LED;
    ev[0].code = ledCode(key);
    ev[0].value = on ? 1 : 0;
    ev[1].type = EV_SYN;
    ev[1].code = SYN_REPORT;
    for (;;) {
        const ssize_t n = ::write(fd_, ev, sizeof ev);
        if (n < 0 && errno == EINTR)
            continue;
        // A reader that has recognised the pattern restarts and its node
        // goes away (ENODEV): the pattern's timing goes on for the others.
        if (n < 0 && (errno == ENODEV || errno == EIO))
            gone_ = true;
        return;
    }
}

EvdevScan openReaderKeyboards()
{
    EvdevScan scan;
    zn480::UdevPtr ctx(udev_new());
    zn480::UdevEnumeratePtr en(ctx ? udev_enumerate_new(ctx.get()) : nullptr);
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "input") < 0
        || udev_enumerate_add_match_subsystem(en.get(), "hid") < 0 || udev_enumerate_scan_devices(en.get()) < 0) {
        scan.udevFailed = true;
        return scan;
    }
    std::vector<std::pair<std::string, std::string>> nodes; // syspath, devnode
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
        } else if (isReaderKeyboard(dev.get())) {
            nodes.emplace_back(syspath, udev_device_get_devnode(dev.get()));
        }
    }
    std::sort(nodes.begin(), nodes.end());

    for (const auto& [syspath, path] : nodes) {
        Fd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (fd.fd < 0) {
            if (errno == EACCES || errno == EPERM)
                scan.denied.push_back(path);
            else
                scan.failed.push_back(path + ": " + std::strerror(errno));
            continue;
        }
        unsigned char supported[(LED_MAX + 8) / 8]{};
        unsigned char state[(LED_MAX + 8) / 8]{};
        if (::ioctl(fd.fd, EVIOCGBIT(EV_LED, sizeof supported), supported) < 0
            || ::ioctl(fd.fd, EVIOCGLED(sizeof state), state) < 0) {
            scan.failed.push_back(path + ": cannot read its LEDs: " + std::strerror(errno));
            continue;
        }
        if (!bit(supported, LED_CAPSL)) {
            scan.failed.push_back(path + ": has no Caps Lock LED");
            continue;
        }
        scan.opened.push_back(std::make_unique<EvdevKeyboard>(
            fd.release(), path, bit(state, LED_CAPSL), bit(state, LED_NUML), bit(state, LED_SCROLLL)));
    }
    return scan;
}

} // namespace kbflash
