// The three lock keys and the small set of keyboard services the LED pattern
// needs. Each platform supplies one backend; the pattern itself is portable
// and is tested against a recording backend.
#pragma once
#include <memory>
#include <string>
#include <string_view>

namespace kbflash {

enum class Key { Caps, Num, Scroll };

// The pattern's pauses and its console output.
class Pacer {
public:
    virtual ~Pacer() = default;
    // Sleeps `ms` milliseconds. Returns false when the process was asked to
    // stop (signal, console close) so the pattern can put the keys back and
    // end early instead of being killed with the LEDs in a random state.
    virtual bool sleepMs(unsigned ms) = 0;
    // Writes text to standard output as is (no newline translation).
    virtual void write(std::string_view text) = 0;
};

class LockKeys : public Pacer {
public:
    // True while the key's lock state (and so its LED) is on.
    virtual bool getToggle(Key key) = 0;
    // One press and release: flips the key's lock state.
    virtual void tap(Key key) = 0;
};

// Opens the platform's keyboard. On failure returns null and a message for
// the user in `error`.
std::unique_ptr<LockKeys> openLockKeys(std::string& error);

// Exit status when a stop request cut the pattern short.
int interruptedExitStatus();

} // namespace kbflash
