// The HID personality in a umockdev testbed. umockdev.h first: it pulls in
// GLib, whose headers must come before anything else that might define
// the same macros.
#include <umockdev.h>

#include "keyboard_node.h"
#include "led_watch.h"
#include "zn480sim/device.h"

#include <cstdio>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace zn480sim {
namespace {

// The report descriptors, as sysfs shows them (hex). A boot keyboard: the
// modifier byte, a reserved byte, six key codes in, and out one byte with
// the five LEDs (Num, Caps, Scroll, Compose, Kana) and three bits padding.
const char* const kBootKeyboardDescriptor
    = "05010906a101050719e029e71500250175019508810295017508810195057501050819012905"
      "910295017503910195067508150025650507190029658100c0";
// A vendor-defined interface with one input and one output report and no LEDs.
const char* const kVendorDescriptor = "0600ff0901a10115002600ff750895080920810209219102c0";

} // namespace

struct HidHost::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    std::string link; // the file naming the testbed folder
    int interfaces = 1;
    std::string display;
    std::vector<std::string> syspaths;    // added devices, parents first
    std::vector<std::string> serialPaths; // the CDC personality's USB device, parents first
    std::string serialNumberLink;         // its tty in /sys/dev/char, when it has a number
    unsigned serialDevnum = 1;            // the kernel numbers devices on a bus on
    unsigned sequence = 0;                // the kernel numbers HID devices on
    LedWatch watch;
    std::string watchProblem;
    std::mutex cbMu;
    std::function<void(const std::string&)> onPattern;
    unsigned inputSequence = 10; // input, event and hidraw node numbers, never reused (umockdev keeps old node names)
    Leds keyboardStart;
    bool keyboardNode = true;
    std::unique_ptr<KeyboardNode> keyboard;             // the reader's node while present, or the last one
    std::vector<std::unique_ptr<KeyboardNode>> retired; // unplugged nodes a program may still hold
    std::unique_ptr<KeyboardNode> other;                // an unrelated keyboard, when added

    void patternSeen(const std::string& where)
    {
        std::function<void(const std::string&)> cb;
        {
            std::lock_guard lk(cbMu);
            cb = onPattern;
        }
        if (cb)
            cb(where);
    }

    // An input device with an event node below `parent` (a hid device),
    // with the LED devices the kernel gives a keyboard's indicators, lit as
    // `leds`. `n` numbers both, as the kernel's inputN and eventN.
    bool addKeyboardInput(
        const std::string& parent, unsigned n, const std::string& name, const std::string& product, const Leds& leds)
    {
        const std::string input = parent + "/input/input" + std::to_string(n);
        const std::string event = "event" + std::to_string(n);
        bool ok = add(input,
                      {{"SUBSYSTEM", "input"}, {"PRODUCT", product}, {"NAME", "\"" + name + "\""}, {"ID_INPUT", "1"},
                          {"ID_INPUT_KEYBOARD", "1"}},
                      {{"name", name}, {"capabilities/ev", "120013"}, {"capabilities/led", "1f"}}, nullptr, nullptr)
            && add(input + "/" + event,
                {{"SUBSYSTEM", "input"}, {"DEVNAME", "/dev/input/" + event}, {"MAJOR", "13"},
                    {"MINOR", std::to_string(64 + n)}, {"ID_INPUT", "1"}, {"ID_INPUT_KEYBOARD", "1"}},
                {}, nullptr, nullptr, "input/" + event);
        const std::pair<const char*, bool> indicators[]
            = {{"numlock", leds.num}, {"capslock", leds.caps}, {"scrolllock", leds.scroll}};
        for (const auto& [led, lit] : indicators)
            ok = ok
                && add(input + "/input" + std::to_string(n) + "::" + led, {{"SUBSYSTEM", "leds"}},
                    {{"brightness", lit ? "1" : "0"}, {"max_brightness", "1"}}, nullptr, nullptr);
        return ok;
    }

    // The raw HID node of a hid device: the node through which the LED
    // output report reaches it.
    bool addHidraw(const std::string& parent, unsigned n)
    {
        const std::string name = "hidraw" + std::to_string(n);
        return add(parent + "/hidraw/" + name,
            {{"SUBSYSTEM", "hidraw"}, {"DEVNAME", "/dev/" + name}, {"MAJOR", "247"}, {"MINOR", std::to_string(n)}}, {},
            nullptr, nullptr, name);
    }

    // Adds one device in umockdev's record format: P (path below /sys),
    // E (properties), A (attributes), L (links). The record form needs no
    // parent check against the real /sys, so the owner runs without the
    // umockdev preload.
    bool add(const std::string& devpath, std::vector<std::pair<std::string, std::string>> props,
        std::vector<std::pair<std::string, std::string>> attrs, const char* driverBus, const char* driver,
        const std::string& devnode = {}, std::vector<std::pair<std::string, std::string>> binary = {})
    {
        std::string rec = "P: " + devpath + "\n";
        if (!devnode.empty())
            rec += "N: " + devnode + "\n";
        for (auto& [k, v] : props)
            rec += "E: " + k + "=" + v + "\n";
        if (driver)
            rec += std::string("E: DRIVER=") + driver + "\n";
        for (auto& [k, v] : attrs)
            rec += "A: " + k + "=" + v + "\n";
        for (auto& [k, v] : binary)
            rec += "H: " + k + "=" + v + "\n";
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
    // The nodes' handlers go before the testbed that serves them.
    impl_->keyboard.reset();
    impl_->retired.clear();
    impl_->other.reset();
    if (!impl_->link.empty())
        ::unlink(impl_->link.c_str());
    if (impl_->testbed)
        g_object_unref(impl_->testbed); // removes the testbed's folder
}

bool HidHost::showSerialPort(const std::string& kernelName, bool present, const std::string& node)
{
    Impl& m = *impl_;
    for (auto it = m.serialPaths.rbegin(); it != m.serialPaths.rend(); ++it) {
        umockdev_testbed_uevent(m.testbed, it->c_str(), "remove");
        umockdev_testbed_remove_device(m.testbed, it->c_str());
    }
    m.serialPaths.clear();
    if (!m.serialNumberLink.empty()) {
        ::unlink(m.serialNumberLink.c_str());
        m.serialNumberLink.clear();
    }
    if (!present)
        return true;
    if (!ok() || kernelName.empty())
        return false;
    // The reader in CDC personality on the root hub's second port. The
    // product id of this personality is the simulator's own choice.
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const std::string intf = usb + "/1-2:1.0";
    std::vector<std::pair<std::string, std::string>> ttyProps{{"SUBSYSTEM", "tty"}, {"DEVNAME", "/dev/" + kernelName}};
    std::vector<std::pair<std::string, std::string>> ttyAttrs;
    struct stat st;
    if (!node.empty() && ::stat(node.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        const std::string maj = std::to_string(major(st.st_rdev)), min = std::to_string(minor(st.st_rdev));
        ttyProps.insert(ttyProps.end(), {{"MAJOR", maj}, {"MINOR", min}});
        ttyAttrs.emplace_back("dev", maj + ":" + min);
    }
    const size_t first = m.syspaths.size();
    const bool added
        = m.add(usb,
              {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"ID_VENDOR_ID", "6a4e"}, {"ID_MODEL_ID", "0012"}},
              {{"idVendor", "6a4e"}, {"idProduct", "0012"}, {"product", "ZN480"}, {"busnum", "1"},
                  {"devnum", std::to_string(++m.serialDevnum)}},
              "usb", "usb")
        && m.add(intf, {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"INTERFACE", "2/2/1"}},
            {{"bInterfaceClass", "02"}}, "usb", "cdc_acm")
        && m.add(intf + "/tty/" + kernelName, ttyProps, ttyAttrs, nullptr, nullptr);
    // The kernel's index of character devices by number, through which udev
    // finds a device by its node (umockdev makes none): the tty's number
    // leads to the reader's tty.
    if (added && !ttyAttrs.empty()) {
        const std::string dir = m.root + "/sys/dev/char";
        m.serialNumberLink = dir + "/" + ttyAttrs.front().second;
        g_mkdir_with_parents(dir.c_str(), 0755);
        ::unlink(m.serialNumberLink.c_str());
        if (::symlink(("../.." + intf + "/tty/" + kernelName).c_str(), m.serialNumberLink.c_str()) != 0)
            m.serialNumberLink.clear();
    }
    // Kept apart from the keyboard's devices, which come and go on their own.
    m.serialPaths.assign(m.syspaths.begin() + std::ptrdiff_t(first), m.syspaths.end());
    m.syspaths.resize(first);
    return added;
}

bool HidHost::ok() const
{
    return impl_->testbed != nullptr && !impl_->root.empty();
}

std::string HidHost::testbedDir() const
{
    return impl_->root;
}

void HidHost::onPattern(std::function<void(const std::string&)> cb)
{
    std::lock_guard lk(impl_->cbMu);
    impl_->onPattern = std::move(cb);
}

std::string HidHost::watchProblem() const
{
    return impl_->watchProblem;
}

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
    unsigned inputN = 0;
    bool ok = m.add(usb,
        {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"ID_VENDOR_ID", "6a4e"}, {"ID_MODEL_ID", "0013"},
            {"PRODUCT", "6a4e/13/100"}},
        {{"idVendor", "6a4e"}, {"idProduct", "0013"}, {"product", "ZN480"}}, "usb", "usb");
    for (int i = 0; ok && i < m.interfaces; ++i) {
        const std::string intf = usb + "/1-1:1." + std::to_string(i);
        ok = m.add(intf, {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"INTERFACE", "3/1/1"}},
            {{"bInterfaceClass", "03"}, {"bInterfaceNumber", "0" + std::to_string(i)}}, "usb", "usbhid");
        if (!ok)
            break;
        char hidName[32];
        std::snprintf(hidName, sizeof hidName, "0003:6A4E:0013.%04X", ++m.sequence & 0xFFFF);
        // The first interface is the keyboard that types the card numbers
        // (a boot keyboard with LEDs); the others report vendor data.
        ok = m.add(intf + "/" + hidName,
            {{"SUBSYSTEM", "hid"}, {"HID_ID", "0003:00006A4E:00000013"}, {"HID_NAME", "ZN480 Keyboard"},
                {"HID_PHYS", "usb-0000:00:14.0-1/input" + std::to_string(i)}},
            {}, "hid", "hid-generic", {},
            {{"report_descriptor", i == 0 ? kBootKeyboardDescriptor : kVendorDescriptor}});
        const unsigned n = m.inputSequence++;
        if (ok && i == 0) {
            inputN = n;
            ok = m.addKeyboardInput(intf + "/" + hidName, n, "ZN480 Keyboard", "3/6a4e/13/100", m.keyboardStart);
        }
        if (ok && m.keyboardNode)
            ok = m.addHidraw(intf + "/" + hidName, n);
    }
    if (m.keyboard)
        m.retired.push_back(std::move(m.keyboard));
    if (ok && m.keyboardNode) {
        m.keyboard = std::make_unique<KeyboardNode>(m.testbed, "/dev/hidraw" + std::to_string(inputN));
        ok = m.keyboard->ok();
    }
    if (!ok) {
        disappear();
        return false;
    }
    present_ = true;

    // The keyboard node: the reader sees the LED states written to it.
    if (m.keyboard) {
        m.keyboard->setLeds(m.keyboardStart);
        auto nodePattern = std::make_shared<LedPattern>();
        nodePattern->feed(m.keyboardStart, 0);
        m.keyboard->onChange([this, nodePattern, where = m.keyboard->devnode()](const Leds& s, int64_t ms) {
            if (nodePattern->feed(s, ms))
                impl_->patternSeen(where);
        });
    }

    m.watchProblem.clear();
    if (m.display != "none") {
        std::string error;
        const std::string where = "the X display " + (m.display.empty() ? std::string("$DISPLAY") : m.display);
        if (!m.watch.start(
                m.display, [this, where] { impl_->patternSeen(where); }, error))
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
    // A program may still hold the node: its calls now fail as on an
    // unplugged keyboard (the handler stays until the host goes).
    if (m.keyboard && present_)
        m.keyboard->unplug();
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
    std::string s = "HID keyboard 6A4E:0013 (" + std::to_string(impl_->interfaces) + " interface"
        + (impl_->interfaces == 1 ? "" : "s") + ") in the umockdev testbed " + impl_->root;
    if (present_ && impl_->keyboard)
        s += "; keyboard node " + impl_->keyboard->devnode();
    if (!impl_->watchProblem.empty())
        s += "; X display LEDs not watched: " + impl_->watchProblem;
    else
        s += "; watching the lock-key LEDs";
    return s;
}

void HidHost::setKeyboardNode(bool on)
{
    impl_->keyboardNode = on;
}

void HidHost::setKeyboardLeds(bool caps, bool num, bool scroll)
{
    impl_->keyboardStart = {caps, num, scroll};
}

namespace {

KeyboardLog logOf(const KeyboardNode* node)
{
    KeyboardLog log;
    if (!node)
        return log;
    log.devnode = node->devnode();
    log.writes = node->writes();
    for (const LedWrite& w : node->changes())
        log.changes.push_back({w.ms, w.state.caps, w.state.num, w.state.scroll});
    return log;
}

} // namespace

KeyboardLog HidHost::keyboardLog() const
{
    return logOf(impl_->keyboard.get());
}

KeyboardLog HidHost::otherKeyboardLog() const
{
    return logOf(impl_->other.get());
}

bool HidHost::addOtherKeyboard()
{
    Impl& m = *impl_;
    if (m.other || !ok())
        return m.other != nullptr;
    // A keyboard on the second root hub port, as a user's own would be.
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const std::string intf = usb + "/1-2:1.0";
    const std::string hid = intf + "/0003:046D:C31C.00F0";
    const unsigned n = 3;
    const size_t before = m.syspaths.size();
    const bool ok = m.add(usb,
                        {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"ID_VENDOR_ID", "046d"},
                            {"ID_MODEL_ID", "c31c"}, {"PRODUCT", "46d/c31c/6400"}},
                        {{"idVendor", "046d"}, {"idProduct", "c31c"}, {"product", "USB Keyboard"}}, "usb", "usb")
        && m.add(intf, {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"INTERFACE", "3/1/1"}},
            {{"bInterfaceClass", "03"}, {"bInterfaceNumber", "00"}}, "usb", "usbhid")
        && m.add(hid, {{"SUBSYSTEM", "hid"}, {"HID_ID", "0003:0000046D:0000C31C"}, {"HID_NAME", "USB Keyboard"}}, {},
            "hid", "hid-generic", {}, {{"report_descriptor", kBootKeyboardDescriptor}})
        && m.addKeyboardInput(hid, n, "USB Keyboard", "3/46d/c31c/110", Leds{}) && m.addHidraw(hid, n);
    // It stays plugged in when the reader comes and goes.
    m.syspaths.resize(before);
    if (!ok)
        return false;
    m.other = std::make_unique<KeyboardNode>(m.testbed, "/dev/hidraw" + std::to_string(n));
    return m.other->ok();
}

} // namespace zn480sim
