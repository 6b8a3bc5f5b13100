#include "pattern.h"

namespace kbflash {
namespace {

struct StartState {
    bool scroll = false;
    bool caps = false;
    bool num = false;
};

// After a stop request the pattern may be anywhere: compare each key with
// what the user had and tap only those that differ.
Outcome restoreAfterStop(LockKeys& keys, const StartState& start)
{
    if (keys.getToggle(Key::Scroll) != start.scroll)
        keys.tap(Key::Scroll);
    if (keys.getToggle(Key::Caps) != start.caps)
        keys.tap(Key::Caps);
    if (keys.getToggle(Key::Num) != start.num)
        keys.tap(Key::Num);
    return Outcome::Interrupted;
}

} // namespace

Outcome playPattern(LockKeys& keys)
{
    keys.write("Wait...\r\n");

    // Start from all three off, remembering what the user had.
    StartState start;
    if (keys.getToggle(Key::Scroll)) {
        keys.tap(Key::Scroll);
        start.scroll = true;
    }
    if (keys.getToggle(Key::Caps)) {
        keys.tap(Key::Caps);
        start.caps = true;
    }
    if (keys.getToggle(Key::Num)) {
        keys.tap(Key::Num);
        start.num = true;
    }

    if (!keys.sleepMs(kSettleMs))
        return restoreAfterStop(keys, start);
    keys.tap(Key::Caps);
    keys.tap(Key::Num);
    keys.tap(Key::Scroll); // all three on
    if (!keys.sleepMs(kSettleMs))
        return restoreAfterStop(keys, start);
    keys.tap(Key::Scroll); // Caps and Num on, Scroll off

    for (int i = 0; i < kBlinkTaps; ++i) {
        if (!keys.sleepMs(kBlinkMs))
            return restoreAfterStop(keys, start);
        keys.tap(Key::Caps);
    }

    // The pattern ends with Scroll off and Caps and Num on; the taps differ
    // per key for that reason.
    if (start.scroll)
        keys.tap(Key::Scroll);
    if (!start.caps)
        keys.tap(Key::Caps);
    if (!start.num)
        keys.tap(Key::Num);

    keys.write("OK.\r\n");
    return Outcome::Done;
}

} // namespace kbflash
