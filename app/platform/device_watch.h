// Notice of devices coming and going, so that the scan can look at once
// instead of at its next tick. A watch runs on a thread of its own and calls
// `changed` from there, often several times for one plug (a USB device brings
// its interfaces, a tty, a HID node); callers coalesce. Whatever a watch
// misses, the tick still finds.
#pragma once
#include "platform/pcsc.h"

#include <chrono>
#include <functional>
#include <memory>

namespace tarvex {

using DeviceChanged = std::function<void()>;

// Stops watching, and waits for the watch's thread, when destroyed: after
// that `changed` is never called again.
class DeviceWatch {
public:
    virtual ~DeviceWatch() = default;
};

// The operating system's device notifications. Linux: a udev monitor on the
// tty, hid, hidraw and block subsystems, and the mount table (a drive counts
// once it is mounted). Windows: WM_DEVICECHANGE for every device interface
// class and for volumes. nullptr when the system offers none.
std::unique_ptr<DeviceWatch> watchSystemDevices(DeviceChanged changed);

// Readers added to or removed from the PC/SC service, through its
// "\\?PnP?\Notification" pseudo reader, on a context of the watch's own in
// `api` (which must not be shared with another thread). The service stopping
// or starting counts as a change too: it is how the reader list empties and
// fills again where the service runs only while readers are attached.
// `serviceRetry` is how often a service that is not running is looked for.
std::unique_ptr<DeviceWatch> watchPcscReaders(std::unique_ptr<pcsc::Api> api, DeviceChanged changed,
    std::chrono::milliseconds serviceRetry = std::chrono::milliseconds(250));

} // namespace tarvex
