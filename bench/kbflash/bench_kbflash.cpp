// Timing of the LED pattern as the keyboard sees it, on both Linux paths:
//  - evdev: kbflash writes the LED states to the simulated reader's keyboard
//    node in a umockdev testbed; the simulator stamps each change on arrival;
//  - X11: kbflash taps the lock keys of an X display (the simulated reader is
//    there without a keyboard node, so kbflash falls back to them); an XKB
//    observer stamps each indicator change.
// For each: the intervals between the Caps Lock changes of the blink phase
// (the tool sleeps 50 ms before each) and the length of the pattern (about
// 5.1 s). Prints figures; asserts nothing.
//   bench_kbflash [RUNS]
#include "testbed_launcher.h"
#include "xkb_observer.h"
#include "xvfb_server.h"
#include "zn480sim/device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Change {
    double ms;
    bool caps, num, scroll;
};

struct Figures {
    std::vector<double> intervals;
    std::vector<double> patterns; // all-on to last blink, per run
};

// The blink phase is the 100 Caps-only changes after Scroll Lock goes off
// (with all three on just before); returns false when the run does not show it.
bool addRun(const std::vector<Change>& ch, Figures& f)
{
    size_t scrollOff = 0;
    for (size_t i = 1; i < ch.size(); ++i)
        if (!ch[i].scroll && ch[i - 1].scroll && ch[i - 1].caps && ch[i - 1].num) {
            scrollOff = i;
            break;
        }
    const size_t first = scrollOff + 1;
    if (scrollOff < 3 || first + 100 > ch.size())
        return false;
    for (size_t i = first; i < first + 100; ++i)
        f.intervals.push_back(ch[i].ms - ch[i - 1].ms);
    f.patterns.push_back(ch[first + 99].ms - ch[scrollOff - 3].ms); // from the Caps change of "all on"
    return true;
}

void print(const char* path, Figures f)
{
    if (f.intervals.empty()) {
        std::printf("  %-6s (no figures)\n", path);
        return;
    }
    auto& v = f.intervals;
    std::sort(v.begin(), v.end());
    const double mean = std::accumulate(v.begin(), v.end(), 0.0) / v.size();
    const double pattern = std::accumulate(f.patterns.begin(), f.patterns.end(), 0.0) / f.patterns.size();
    std::printf("  %-6s %6zu %8.2f %8.2f %8.2f %8.2f %8.2f %10.1f\n", path, v.size(), v[v.size() / 2], mean, v.front(),
        v.back(), v[v.size() * 95 / 100], pattern);
}

bool runEvdev(const std::string& script, int runs, Figures& f)
{
    bool ok = true;
    for (int r = 0; r < runs && ok; ++r) {
        zn480sim::HidHost host({}, 1, "none");
        if (!host.ok() || !host.appear()) {
            std::fprintf(stderr, "evdev: cannot set up the umockdev testbed\n");
            ok = false;
            break;
        }
        xtest_support::writeTestbedLauncher(script, host.testbedDir(), KBFLASH_PATH);
        const auto run = xtest_support::runPlain(script, std::nullopt);
        std::vector<Change> ch;
        for (const auto& c : host.keyboardLog().changes)
            ch.push_back({c.ms, c.caps, c.num, c.scroll});
        if (run.exitStatus != 0 || !addRun(ch, f)) {
            std::fprintf(
                stderr, "evdev run %d: exit %d, %zu changes: %s\n", r + 1, run.exitStatus, ch.size(), run.err.c_str());
            ok = false;
        }
    }
    return ok;
}

bool runX11(const std::string& script, int runs, Figures& f)
{
    zn480sim::HidHost host({}, 1, "none");
    host.setKeyboardNode(false);
    if (!host.ok() || !host.appear()) {
        std::fprintf(stderr, "X11: cannot set up the umockdev testbed\n");
        return false;
    }
    xtest_support::writeTestbedLauncher(script, host.testbedDir(), KBFLASH_PATH);
    xtest_support::XvfbServer xvfb;
    std::string display;
    if (const char* d = std::getenv("DISPLAY"); d && *d) {
        display = d;
    } else {
        std::string error;
        if (!xvfb.start(error)) {
            std::fprintf(stderr, "X11: %s\n", error.c_str());
            return false;
        }
        display = xvfb.display();
    }
    std::printf("X11 path on display %s\n", display.c_str());
    for (int r = 0; r < runs; ++r) {
        const auto run = xtest_support::observeRun(display, script);
        std::vector<Change> ch;
        for (const auto& c : run.changes)
            ch.push_back({c.ms, c.state.caps, c.state.num, c.state.scroll});
        if (run.exitStatus != 0 || !addRun(ch, f)) {
            std::fprintf(
                stderr, "X11 run %d: exit %d, %zu changes: %s\n", r + 1, run.exitStatus, ch.size(), run.err.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::printf("kbflash, %d run(s) per path, 100 blinks per run (nominal 50 ms apart)\n", runs);
    char tmpl[] = "/tmp/bench-kbflash-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    const std::string script = std::string(tmpl) + "/run-kbflash.sh";
    Figures evdev, x11;
    const bool evOk = runEvdev(script, runs, evdev);
    const bool xOk = runX11(script, runs, x11);
    ::unlink(script.c_str());
    ::rmdir(tmpl);
    std::printf("Caps Lock change intervals in ms, and the pattern from all-on to the last blink (nominal 5040 ms)\n");
    std::printf(
        "  %-6s %6s %8s %8s %8s %8s %8s %10s\n", "path", "beats", "median", "mean", "min", "max", "p95", "pattern");
    print("evdev", evdev);
    print("X11", x11);
    return evOk && xOk ? 0 : 1;
}
