// How the reader core reaches its user: message boxes, the two option
// choices asked before a switch, "let the front end's events run", and the
// few pieces of state a front end shows (the lock, the progress text, the
// scan check box). The window answers with Qt dialogs; the command-line
// tool answers from its arguments and prints progress.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace tarvex {

// The HID output format chosen before a switch to HID: 0 cancelled, 1 hex
// UID, 2 decimal UID, 3 block 2; sub-options +1 append '#', +2 SHIFT for hex
// letters.
struct HidModeChoice {
    int16_t format = 0;
    int16_t subOptions = 0;
};

// The fake-card settings asked before a switch to CCID.
constexpr int16_t kFakeCardCancelled = -1;
constexpr int16_t kFakeCardStandard = 255; // for 30 s
constexpr int16_t kFakeCardAlways = 2;
constexpr int16_t kFakeCardNever = 0;

class ReaderUi {
public:
    virtual ~ReaderUi() = default;
    // okCancel=false: OK only, returns true. okCancel=true: true for OK.
    virtual bool messageBox(const std::string& text, bool okCancel) = 0;
    virtual HidModeChoice askHidMode() = 0;
    virtual int16_t askCcidFake() = 0; // one of the kFakeCard values
    // Lets pending front-end events run (timer ticks, repaints, clicks).
    virtual void yield() { }
    // Runs `job`, which blocks for a while (a serial probe waiting for its
    // answer), without freezing the front end. By default in place.
    virtual void runServingEvents(const std::function<void()>& job) { job(); }

    // State changes the front end shows.
    virtual void lockChanged(bool locked) { (void)locked; }
    // The text shown after the caption (" - Scanning CCID..."); empty when
    // nothing is in progress.
    virtual void progressChanged(const std::string& text) { (void)text; }
    virtual void refreshChanged(bool checked) { (void)checked; }
};

} // namespace tarvex
