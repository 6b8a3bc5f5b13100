// Keyboards whose LEDs are set directly, one LED at a time (on Linux the
// input event nodes of the reader's keyboard interfaces), and the pattern
// played on several of them at once.
#pragma once
#include "lock_keys.h"
#include "pattern.h"

#include <vector>

namespace kbflash {

class LedDevice {
public:
    virtual ~LedDevice() = default;
    // The LED's state as last set or as found.
    virtual bool led(Key key) const = 0;
    virtual void setLed(Key key, bool on) = 0;
};

// Plays the pattern on every device as if each were the only keyboard: a
// tap becomes setting that LED to the opposite state, so each device passes
// through exactly the states playPattern gives for its own start and ends
// as it was found. The pauses and the console output happen once, for all.
// A stop request puts every device back as it was found.
Outcome playPatternOn(const std::vector<LedDevice*>& devices, Pacer& pacer);

} // namespace kbflash
