// Runs a program against an X display while recording every change of the
// Caps Lock, Num Lock and Scroll Lock indicators, as XKB reports them.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct _XDisplay; // Xlib's Display; its header would leak macros into tests

namespace xtest_support {

struct LedState {
    bool caps = false;
    bool num = false;
    bool scroll = false;
    bool operator==(const LedState&) const = default;
};

struct LedChange {
    double ms = 0;      // when it was seen, from the program's start
    LedState state;     // all three after the change
    unsigned which = 0; // bit 0 caps, 1 num, 2 scroll: the ones that changed
};

struct ObservedRun {
    int exitStatus = -1; // exit code, or 128 + signal
    std::string out;
    std::string err;
    std::vector<LedChange> changes;
};

// A connection with helpers to read and set the lock states of a display.
class LockProbe {
public:
    explicit LockProbe(const std::string& display);
    ~LockProbe();
    LockProbe(const LockProbe&) = delete;
    LockProbe& operator=(const LockProbe&) = delete;

    bool ok() const { return dpy_ != nullptr; }
    _XDisplay* display() const { return dpy_; }
    LedState leds();
    unsigned lockedMods();
    // Taps keys until the indicators show `want` (Scroll Lock only lights
    // when the keymap binds it: see bindScrollLock).
    void setLeds(const LedState& want);
    // Binds Scroll_Lock to Mod3 as a user's keymap might.
    bool bindScrollLock();
    // Puts a spare key into every empty modifier row, so that no modifier is
    // free for a temporary binding.
    bool occupyFreeModifiers();
    // The core modifier map as bytes, and the full XKB keymap as text when
    // xkbcomp is installed (empty otherwise).
    std::string modifierMap();
    std::string keymapDump();
    void tapKeysym(unsigned long keysym);

private:
    _XDisplay* dpy_ = nullptr;
    std::string name_;
};

// Records indicator changes of a display on a thread of its own, for as long
// as it lives (for watching a display while something else drives the test).
class IndicatorRecorder {
public:
    explicit IndicatorRecorder(const std::string& display);
    ~IndicatorRecorder();
    IndicatorRecorder(const IndicatorRecorder&) = delete;
    IndicatorRecorder& operator=(const IndicatorRecorder&) = delete;
    bool ok() const { return ok_; }
    // Changes seen so far; call sync() first to be sure of everything the
    // server has done up to now.
    std::vector<LedChange> changes();
    void sync();

private:
    struct State;
    State* state_;
    bool ok_ = false;
};

// Starts `program` with DISPLAY set to `display`, records indicator changes
// until it exits (or `timeoutMs` passes, after which it is killed).
// `onChange` runs after each recorded change with the child's pid.
ObservedRun observeRun(const std::string& display, const std::string& program,
    const std::function<void(pid_t, const std::vector<LedChange>&)>& onChange = {}, int timeoutMs = 60000);

// Runs `program` with the given DISPLAY (nullopt: unset) and captures output.
ObservedRun runPlain(const std::string& program, const std::optional<std::string>& display, int timeoutMs = 30000);

} // namespace xtest_support
