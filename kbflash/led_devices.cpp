#include "led_devices.h"

#include <array>
#include <string>

namespace kbflash {
namespace {

struct Step {
    enum Kind { Set, Sleep, Write } kind;
    Key key = Key::Caps;
    bool on = false;
    unsigned ms = 0;
    std::string text;
};

// Runs the pattern for one start state without waiting, writing down what
// it does. The pauses and the output do not depend on the start, so every
// device's script has the same ones in the same order; only the taps around
// them differ.
class ScriptRecorder final : public LockKeys {
public:
    explicit ScriptRecorder(const std::array<bool, 3>& start) : on_(start) { }
    bool getToggle(Key key) override { return on_[static_cast<int>(key)]; }
    void tap(Key key) override
    {
        bool& v = on_[static_cast<int>(key)];
        v = !v;
        steps.push_back({Step::Set, key, v, 0, {}});
    }
    bool sleepMs(unsigned ms) override
    {
        steps.push_back({Step::Sleep, Key::Caps, false, ms, {}});
        return true;
    }
    void write(std::string_view text) override
    {
        steps.push_back({Step::Write, Key::Caps, false, 0, std::string(text)});
    }

    std::vector<Step> steps;

private:
    std::array<bool, 3> on_;
};

std::array<bool, 3> stateOf(const LedDevice& d)
{
    return {d.led(Key::Caps), d.led(Key::Num), d.led(Key::Scroll)};
}

} // namespace

Outcome playPatternOn(const std::vector<LedDevice*>& devices, Pacer& pacer)
{
    std::vector<std::array<bool, 3>> starts;
    std::vector<std::vector<Step>> scripts;
    for (LedDevice* d : devices) {
        starts.push_back(stateOf(*d));
        ScriptRecorder r(starts.back());
        playPattern(r);
        scripts.push_back(std::move(r.steps));
    }
    // The pauses and output, from any script (or an all-off one).
    std::vector<Step> skeleton;
    {
        ScriptRecorder r({});
        playPattern(r);
        for (Step& s : r.steps)
            if (s.kind != Step::Set)
                skeleton.push_back(std::move(s));
    }

    std::vector<size_t> pos(devices.size(), 0);
    auto applySets = [&](size_t d) {
        const std::vector<Step>& s = scripts[d];
        while (pos[d] < s.size() && s[pos[d]].kind == Step::Set) {
            devices[d]->setLed(s[pos[d]].key, s[pos[d]].on);
            ++pos[d];
        }
    };
    for (const Step& ev : skeleton) {
        for (size_t d = 0; d < devices.size(); ++d) {
            applySets(d);
            ++pos[d]; // past its own copy of this pause or output
        }
        if (ev.kind == Step::Write) {
            pacer.write(ev.text);
        } else if (!pacer.sleepMs(ev.ms)) {
            // Stopped anywhere in the pattern: each LED that differs from
            // what was found goes back, in the order of the clearing taps.
            for (size_t d = 0; d < devices.size(); ++d)
                for (Key k : {Key::Scroll, Key::Caps, Key::Num})
                    if (devices[d]->led(k) != starts[d][static_cast<int>(k)])
                        devices[d]->setLed(k, starts[d][static_cast<int>(k)]);
            return Outcome::Interrupted;
        }
    }
    for (size_t d = 0; d < devices.size(); ++d)
        applySets(d);
    return Outcome::Done;
}

} // namespace kbflash
