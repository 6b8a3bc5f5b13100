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

// What the PC/SC watch found at its last look at the service.
enum class PcscWatchState {
    Starting,    // it has not looked yet
    Watching,    // waiting for the service to announce readers coming and going
    Absent,      // no service: not running, not installed, or no PC/SC library
    Refused,     // a service is there but turned this program away (pcsc-lite asks
                 // polkit, which refuses inactive and remote sessions)
    Unsupported, // the service is reachable but cannot announce reader changes:
                 // only the scan's tick finds readers
};

// The PC/SC reader watch. state() may be asked from any thread.
class PcscReaderWatch : public DeviceWatch {
public:
    virtual PcscWatchState state() const = 0;
};

// How often the PC/SC watch looks for a service it cannot use. Every failed
// look doubles the pause before the next, up to a limit that depends on why
// it failed; a service that works sets the pause back to `retry`.
struct PcscWatchTiming {
    std::chrono::milliseconds retry{250};
    // A service that is not running is cheap to look for (one failed
    // connect) and may start any moment: Windows starts it with the first
    // reader, and once the list has found its readers nothing but this watch
    // looks again. So it is looked for four times a second, without back-off,
    // which keeps a reader's arrival well inside what a user notices.
    std::chrono::milliseconds absentLimit{250};
    // A refusal will not change soon (the session has to become active, or
    // the policy change), and each refused look costs the service a policy
    // check and a line in its log; a service without the notification will
    // not grow one.
    std::chrono::milliseconds refusedLimit{30000};
    // Set by tests: called for every pause instead of waiting on the system
    // clock, which ends early when the watch stops. The watch looks at its
    // stop request after each call, so a replacement must return.
    std::function<void(std::chrono::milliseconds)> pause;
};

// Readers added to or removed from the PC/SC service, through its
// "\\?PnP?\Notification" pseudo reader, on a context of the watch's own in
// `api` (which must not be shared with another thread). The service stopping
// or starting counts as a change too: it is how the reader list empties and
// fills again where the service runs only while readers are attached. A
// refusal or a service that cannot announce changes counts as nothing.
std::unique_ptr<PcscReaderWatch> watchPcscReaders(
    std::unique_ptr<pcsc::Api> api, DeviceChanged changed, PcscWatchTiming timing = {});

} // namespace tarvex
