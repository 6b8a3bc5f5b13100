// Plug to listed: the simulated reader is plugged in as a HID keyboard at a
// random moment between two of Tarvex's 2000 ms ticks, with the refresh box
// checked, and the time until its entry shows in the state file is taken.
// Each round starts a fresh Tarvex (a listed reader stops the refresh).
#include "scan_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

using namespace zn480scan;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 12;
    TempDir work("zn480-bench-plug");
    Process sim;
    if (!sim.start({"umockdev-wrapper", ZN480SIM_PATH, "--control", work / "ctl", "--hid-testbed",
                    work / "testbed", "--led-display", "none"},
                   {}, work / "sim.log") ||
        !waitUntil([&] { return readFile(work / "sim.log").find("zn480sim: now ") != std::string::npos; },
                   Millis(10000))) {
        std::fprintf(stderr, "simulator did not start\n%s", readFile(work / "sim.log").c_str());
        return 1;
    }
    std::string dir = readFile(work / "testbed");
    while (!dir.empty() && dir.back() == '\n')
        dir.pop_back();

    std::mt19937 rng(480);
    std::uniform_int_distribution<int> offset(0, 1999);
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        simControl(work / "ctl", "unplug");
        const std::string state = work / ("state" + std::to_string(r));
        Process tarvex;
        tarvex.start({"sh", XVFB_SCRIPT, "umockdev-wrapper", TARVEX_PATH},
                     {{"UMOCKDEV_DIR", dir}, {"ZN480_DEV_DIR", work / "nodev"},
                      {"PCSCLITE_CSOCK_NAME", work / "no-pcscd.comm"}, {"TARVEX_STATE_FILE", state},
                      {"XDG_RUNTIME_DIR", work.path}, {"QT_QPA_PLATFORM", ""}},
                     work / "tarvex.log");
        // Past the first cycle, then at a random point of the tick period.
        if (!waitUntil([&] { return readListState(state).writes >= 3; }, Millis(20000))) {
            std::fprintf(stderr, "Tarvex did not scan\n%s", readFile(work / "tarvex.log").c_str());
            return 1;
        }
        std::this_thread::sleep_for(Millis(offset(rng)));
        const auto plugged = Clock::now();
        simControl(work / "ctl", "plug");
        bool listed = false;
        while (Clock::now() - plugged < Millis(10000)) {
            if ((listed = readListState(state).has("HID ZN480 Keyboard 0")))
                break;
            std::this_thread::sleep_for(Millis(2));
        }
        if (listed)
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - plugged).count());
        tarvex.stop();
    }
    if (ms.empty()) {
        std::fprintf(stderr, "never listed\n");
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("plug to listed, HID personality, box checked (%zu of %d rounds)\n", ms.size(), rounds);
    std::printf("  median %.0f ms   min %.0f ms   max %.0f ms\n", ms[ms.size() / 2], ms.front(), ms.back());
    return 0;
}
