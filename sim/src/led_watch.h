// The reader's side of the keyboard-LED signal: while it is a keyboard, it
// sees every lock-key indicator change the computer sends it, and leaves the
// HID personality when the changes follow the reset pattern.
//
// LedPattern is the recogniser (pure, fed with states and times, so tests
// need no display). LedWatch feeds it from an X display's XKB indicator
// events on a thread of its own.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace zn480sim {

struct Leds {
    bool caps = false;
    bool num = false;
    bool scroll = false;
    bool operator==(const Leds&) const = default;
};

// Recognises: all three on, then Scroll Lock off with Caps and Num on, then
// at least `toggles` changes of Caps Lock while Num stays on and Scroll stays
// off. Tolerant of what comes before, of repeated identical states and of
// the restoring taps around the pattern; a pause longer than `maxGapMs`
// between two changes inside the pattern starts the search again.
class LedPattern {
public:
    explicit LedPattern(int toggles = 20, int64_t maxGapMs = 1500) : toggles_(toggles), maxGapMs_(maxGapMs) { }

    // One observed state at time `ms` (any monotonic milliseconds). Returns
    // true once, when the pattern is complete; then it starts over.
    bool feed(const Leds& s, int64_t ms);

private:
    enum class Stage { Idle, AllOn, Blinking };
    void restart(const Leds& s);

    int toggles_;
    int64_t maxGapMs_;
    Stage stage_ = Stage::Idle;
    Leds last_{};
    bool haveLast_ = false;
    int64_t lastMs_ = 0;
    int count_ = 0;
};

// Watches the Caps, Num and Scroll Lock indicators of an X display (by their
// XKB names) and calls `onPattern` from its thread when LedPattern fires.
class LedWatch {
public:
    LedWatch() = default;
    ~LedWatch();
    LedWatch(const LedWatch&) = delete;
    LedWatch& operator=(const LedWatch&) = delete;

    // Connects to `display` (empty: $DISPLAY). False, with a reason in
    // `error`, when the display or its XKB extension cannot be used.
    bool start(const std::string& display, std::function<void()> onPattern, std::string& error);
    // Safe to call when not running; must not be called from onPattern.
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    void run(void* dpy);

    std::thread thread_;
    int stopPipe_[2] = {-1, -1};
    std::function<void()> onPattern_;
};

} // namespace zn480sim
