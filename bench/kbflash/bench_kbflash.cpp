// Timing of the LED pattern as the X server shows it: the intervals between
// the Caps Lock changes of the blink phase (the tool sleeps 50 ms before
// each) and the length of the whole pattern (about 5.1 s). Prints figures;
// asserts nothing.
//   bench_kbflash [RUNS]
#include "xkb_observer.h"
#include "xvfb_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

using xtest_support::LedChange;

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    xtest_support::XvfbServer xvfb;
    std::string display;
    if (const char* d = std::getenv("DISPLAY"); d && *d) {
        display = d;
    } else {
        std::string error;
        if (!xvfb.start(error)) {
            std::fprintf(stderr, "bench_kbflash: %s\n", error.c_str());
            return 1;
        }
        display = xvfb.display();
    }
    std::printf("kbflash on display %s, %d run(s)\n", display.c_str(), runs);

    std::vector<double> intervals;
    for (int r = 0; r < runs; ++r) {
        const auto run = xtest_support::observeRun(display, KBFLASH_PATH);
        if (run.exitStatus != 0 || run.changes.size() < 106) {
            std::fprintf(stderr, "run %d: exit %d, %zu changes: %s\n", r + 1, run.exitStatus, run.changes.size(),
                         run.err.c_str());
            return 1;
        }
        // The blink phase is the last 100 Caps-only changes before the
        // restoring taps; find where Scroll Lock goes off for the last time
        // before it (the start of the 50 ms beats).
        const auto& ch = run.changes;
        size_t scrollOff = 0;
        for (size_t i = 1; i < ch.size(); ++i)
            if ((ch[i].which & 4u) && !ch[i].state.scroll && ch[i - 1].state.scroll) {
                scrollOff = i;
                break;
            }
        const size_t first = scrollOff + 1;
        if (first + 100 > ch.size()) {
            std::fprintf(stderr, "run %d: pattern not recognised\n", r + 1);
            return 1;
        }
        for (size_t i = first; i < first + 100; ++i)
            intervals.push_back(ch[i].ms - ch[i - 1].ms);
        const size_t patternStart = scrollOff - 3; // the Caps tap of "all on"
        std::printf("run %d: pattern %.1f ms (all-on to last blink; nominal 5040 ms plus key events)\n", r + 1,
                    ch[first + 99].ms - ch[patternStart].ms);
    }

    std::sort(intervals.begin(), intervals.end());
    const double median = intervals[intervals.size() / 2];
    const double mean = std::accumulate(intervals.begin(), intervals.end(), 0.0) / intervals.size();
    std::printf("Caps Lock tap intervals over %zu beats (nominal 50 ms):\n", intervals.size());
    std::printf("  median %.2f ms  mean %.2f ms  min %.2f ms  max %.2f ms  p95 %.2f ms\n", median, mean,
                intervals.front(), intervals.back(), intervals[intervals.size() * 95 / 100]);
    return 0;
}
