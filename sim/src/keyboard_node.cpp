// umockdev.h first: GLib's headers must come before anything else that
// might define the same macros.
#include <umockdev.h>

#include "keyboard_node.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/input.h>

namespace zn480sim {
namespace {

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Fills the buffer the client passed to a "get" ioctl; the kernel answers
// with the number of bytes copied.
void answerBits(UMockdevIoctlClient* client, const unsigned char* bits, size_t have, size_t asked)
{
    GError* err = nullptr;
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, asked, &err);
    if (!out) {
        if (err)
            g_error_free(err);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const size_t n = std::min(have, asked);
    std::memset(out->data, 0, asked);
    std::memcpy(out->data, bits, n);
    umockdev_ioctl_client_complete(client, static_cast<long>(n), 0);
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
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    {
        std::lock_guard lk(mu_);
        if (gone_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
    }
    if (_IOC_TYPE(req) != 'E' || _IOC_DIR(req) != _IOC_READ) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
    const unsigned nr = _IOC_NR(req);
    const size_t asked = _IOC_SIZE(req);
    unsigned char bits[(KEY_MAX + 8) / 8]{};
    auto set = [&](unsigned n) { bits[n / 8] |= static_cast<unsigned char>(1u << (n % 8)); };
    if (nr == _IOC_NR(EVIOCGLED(0))) {
        const Leds s = leds();
        if (s.num)
            set(LED_NUML);
        if (s.caps)
            set(LED_CAPSL);
        if (s.scroll)
            set(LED_SCROLLL);
        answerBits(client, bits, (LED_MAX + 8) / 8, asked);
    } else if (nr == _IOC_NR(EVIOCGBIT(0, 0))) {
        for (unsigned t : {EV_SYN, EV_KEY, EV_MSC, EV_LED, EV_REP})
            set(t);
        answerBits(client, bits, (EV_MAX + 8) / 8, asked);
    } else if (nr == _IOC_NR(EVIOCGBIT(EV_LED, 0))) {
        // A boot keyboard's five LEDs.
        for (unsigned l : {LED_NUML, LED_CAPSL, LED_SCROLLL, LED_COMPOSE, LED_KANA})
            set(l);
        answerBits(client, bits, (LED_MAX + 8) / 8, asked);
    } else if (nr == _IOC_NR(EVIOCGBIT(EV_KEY, 0))) {
        for (unsigned k = KEY_ESC; k <= KEY_KPDOT; ++k)
            set(k);
        answerBits(client, bits, (KEY_MAX + 8) / 8, asked);
    } else if (nr == _IOC_NR(EVIOCGNAME(0))) {
        static const char name[] = "ZN480 Keyboard";
        answerBits(client, reinterpret_cast<const unsigned char*>(name), sizeof name, asked);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
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
        // As evdev: only whole events, and an EV_LED event changes that
        // LED at once (the device gets the new state as an output report).
        if (len % sizeof(input_event) != 0) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return true;
        }
        for (size_t off = 0; off < len; off += sizeof(input_event)) {
            input_event ev;
            std::memcpy(&ev, data->data + off, sizeof ev);
            if (ev.type != EV_LED)
                continue;
            Leds s = leds_;
            if (ev.code == LED_CAPSL)
                s.caps = ev.value != 0;
            else if (ev.code == LED_NUML)
                s.num = ev.value != 0;
            else if (ev.code == LED_SCROLLL)
                s.scroll = ev.value != 0;
            if (s == leds_)
                continue;
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
