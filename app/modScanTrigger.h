// When device events start a scan cycle. One plug brings a burst of events
// (the USB device, its interfaces, a tty or HID node, a mount) within a few
// milliseconds: the first event of a burst opens a short window, and every
// event inside it joins the same cycle. An event that comes while a cycle is
// running asks for one more cycle after it, since that cycle may have looked
// before the device was there.
#pragma once
#include <cstdint>

namespace tarvex {

class ScanTrigger {
public:
    explicit ScanTrigger(uint32_t windowMs) : windowMs_(windowMs) { }

    // An event at `now`. True when it opened a new burst: the caller then
    // arms its timer for dueInMs(now).
    bool note(uint32_t now);
    bool pending() const { return pending_; }
    // Milliseconds until the open burst is due; 0 when it is due or none is open.
    uint32_t dueInMs(uint32_t now) const;
    // The caller's timer fired at `now`: true when the burst is due, which
    // closes it. The caller runs a cycle, or notes the event again when one
    // is already running.
    bool take(uint32_t now);

private:
    uint32_t windowMs_;
    bool pending_ = false;
    uint32_t since_ = 0;
};

} // namespace tarvex
