// umockdev.h first: GLib's headers must come before anything else that
// might define the same macros.
#include <umockdev.h>

#include "keyboard_node.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace zn480sim {
namespace {

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

KeyboardNode::KeyboardNode(UMockdevTestbed* testbed, std::string devnode)
    : testbed_(testbed), devnode_(std::move(devnode))
{
    UMockdevIoctlBase* h = umockdev_ioctl_base_new();
    g_signal_connect(h, "handle-ioctl", G_CALLBACK(handleIoctl), this);
    g_signal_connect(h, "handle-write", G_CALLBACK(handleWrite), this);
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), h, &err)) {
        if (err)
            g_error_free(err);
        g_object_unref(h);
        return;
    }
    handler_ = h;
}

KeyboardNode::~KeyboardNode()
{
    if (!handler_)
        return;
    // No more calls into this object once it is gone.
    g_signal_handlers_disconnect_by_data(handler_, this);
    umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
    g_object_unref(handler_);
}

void KeyboardNode::onChange(std::function<void(const Leds&, int64_t)> cb)
{
    std::lock_guard lk(mu_);
    onChange_ = std::move(cb);
}

void KeyboardNode::setLeds(const Leds& s)
{
    std::lock_guard lk(mu_);
    leds_ = s;
}

Leds KeyboardNode::leds() const
{
    std::lock_guard lk(mu_);
    return leds_;
}

std::vector<LedWrite> KeyboardNode::changes() const
{
    std::lock_guard lk(mu_);
    return changes_;
}

size_t KeyboardNode::writes() const
{
    std::lock_guard lk(mu_);
    return writes_;
}

void KeyboardNode::unplug()
{
    std::lock_guard lk(mu_);
    gone_ = true;
}

int KeyboardNode::handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    return static_cast<KeyboardNode*>(self)->ioctl(client);
}

int KeyboardNode::handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    return static_cast<KeyboardNode*>(self)->write(client);
}

bool KeyboardNode::ioctl(UMockdevIoctlClient* client)
{
    // kbflash reads the report descriptor from sysfs and the LED states
    // from the LED devices: no raw HID ioctl is needed, so none is served.
    std::lock_guard lk(mu_);
    umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : ENOTTY);
    return true;
}

bool KeyboardNode::write(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
    const size_t len = data->data_len > 0 ? static_cast<size_t>(data->data_len) : 0;
    std::vector<std::pair<Leds, int64_t>> seen;
    std::function<void(const Leds&, int64_t)> cb;
    {
        std::lock_guard lk(mu_);
        if (gone_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
        ++writes_;
        // The boot keyboard's output report, as the raw node takes it: the
        // report number (0, the descriptor numbers no reports), then one
        // byte of LEDs, bit 0 Num Lock, bit 1 Caps Lock, bit 2 Scroll Lock.
        // Anything else is not the report this keyboard has.
        if (len != 2 || data->data[0] != 0) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return true;
        }
        const uint8_t bits = data->data[1];
        const Leds s{(bits & 0x02) != 0, (bits & 0x01) != 0, (bits & 0x04) != 0};
        if (s != leds_) {
            leds_ = s;
            changes_.push_back({nowMs(), s});
            seen.emplace_back(s, static_cast<int64_t>(changes_.back().ms));
        }
        cb = onChange_;
    }
    umockdev_ioctl_client_complete(client, static_cast<long>(len), 0);
    if (cb)
        for (auto& [s, ms] : seen)
            cb(s, ms);
    return true;
}

} // namespace zn480sim
