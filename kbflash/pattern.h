// The lock-key LED pattern that a reader in keyboard personality watches for.
#pragma once
#include "lock_keys.h"

namespace kbflash {

constexpr unsigned kSettleMs = 40; // pause after the keys are all off, and after all on
constexpr unsigned kBlinkMs = 50;  // pause before each Caps Lock tap of the blink phase
constexpr int kBlinkTaps = 100;    // even, so Caps Lock ends the blink phase on

enum class Outcome { Done, Interrupted };

// Plays the whole pattern and puts the three lock keys back as they were.
// Writes "Wait...\r\n" first and "OK.\r\n" at the end of a complete run.
Outcome playPattern(LockKeys& keys);

} // namespace kbflash
