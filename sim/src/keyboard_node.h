// A USB keyboard's raw HID node (/dev/hidrawN) in a umockdev testbed,
// served by this process: programs that open it under umockdev-wrapper get
// their writes answered here, as the kernel's hidraw layer would pass them
// to a boot keyboard with the three lock LEDs: each write is one output
// report. Every LED state written to it is kept, with the time it arrived.
#pragma once
#include "led_watch.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace zn480sim {

struct LedWrite {
    double ms = 0; // steady clock, milliseconds
    Leds state;    // all three after the change
};

class KeyboardNode {
public:
    // Serves `devnode` (for example "/dev/hidraw10", which must be in
    // the testbed already). ok() tells whether umockdev took it.
    KeyboardNode(UMockdevTestbed* testbed, std::string devnode);
    ~KeyboardNode();
    KeyboardNode(const KeyboardNode&) = delete;
    KeyboardNode& operator=(const KeyboardNode&) = delete;

    bool ok() const { return handler_ != nullptr; }
    const std::string& devnode() const { return devnode_; }

    // Called (on umockdev's worker thread) after each LED change.
    void onChange(std::function<void(const Leds&, int64_t ms)> cb);
    void setLeds(const Leds& s);
    Leds leds() const;
    // Every change written so far, and the number of write calls of any kind.
    std::vector<LedWrite> changes() const;
    size_t writes() const;
    // The device has gone: from now on every call fails with ENODEV, as on
    // a node whose keyboard was unplugged, and the node keeps no program
    // waiting.
    void unplug();

private:
    static int handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static int handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    bool ioctl(UMockdevIoctlClient* client);
    bool write(UMockdevIoctlClient* client);

    UMockdevTestbed* testbed_;
    std::string devnode_;
    UMockdevIoctlBase* handler_ = nullptr;
    mutable std::mutex mu_;
    Leds leds_;
    std::vector<LedWrite> changes_;
    size_t writes_ = 0;
    bool gone_ = false;
    std::function<void(const Leds&, int64_t)> onChange_;
};

} // namespace zn480sim
