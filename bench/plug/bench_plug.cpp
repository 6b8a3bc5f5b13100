// Plug to listed: the simulated reader is plugged in, in each personality,
// at a random moment between two of Tarvex's 2000 ms ticks with the refresh
// box checked, and the time until its entry shows in Tarvex's state file is
// taken. Each round starts a fresh Tarvex (a listed reader stops the
// refresh). The reader appears as the hardware would: CDC as a ttyACM port
// of a 6A4E USB device in a umockdev testbed, CCID as a private pcscd that
// runs only while the reader is plugged in, HID as a keyboard in the
// testbed, MSD as a loop-mounted drive (in this program's own mount
// namespace; needs root).
#include "scan_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace zn480scan;
using Clock = std::chrono::steady_clock;

namespace {

struct Personality {
    const char* name;
    std::vector<std::string> simArgs; // besides --control
    std::string key;                  // the entry's key (the text before any identity suffix)
    bool underUmockdev = true;        // for the testbed's uevents
};

bool listedByKey(const ListState& st, const std::string& key)
{
    for (const std::string& e : st.entries)
        if (e == key || e.rfind(key + " - ", 0) == 0)
            return true;
    return false;
}

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Median, min and max of `rounds` plugs; false when the reader never showed.
bool measure(const TempDir& work, const Personality& p, int rounds, std::mt19937& rng, const std::string& program)
{
    const std::string ctl = work / (std::string(p.name) + ".ctl");
    std::vector<std::string> argv{ZN480SIM_PATH, "--control", ctl};
    if (p.underUmockdev)
        argv.insert(argv.begin(), "umockdev-wrapper");
    argv.insert(argv.end(), p.simArgs.begin(), p.simArgs.end());
    Process sim;
    const std::string simLog = work / (std::string(p.name) + "-sim.log");
    if (!sim.start(argv, {}, simLog)
        || !waitUntil([&] { return readFile(simLog).find("zn480sim: now ") != std::string::npos; }, Millis(10000))) {
        std::fprintf(stderr, "%s: simulator did not start\n%s", p.name, readFile(simLog).c_str());
        return false;
    }
    const std::string testbed = trimmed(readFile(work / (std::string(p.name) + ".testbed")));
    std::uniform_int_distribution<int> offset(0, 1999);
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        simControl(ctl, "unplug");
        const std::string state = work / (std::string(p.name) + "-state" + std::to_string(r));
        Process tarvex;
        tarvex.start({"sh", XVFB_SCRIPT, "umockdev-wrapper", program},
            {{"UMOCKDEV_DIR", testbed}, {"ZN480_DEV_DIR", work / "dev"},
                {"PCSCLITE_CSOCK_NAME", work / "pcscd/run/pcscd.comm"}, {"TARVEX_STATE_FILE", state},
                {"XDG_RUNTIME_DIR", work.path}, {"QT_QPA_PLATFORM", ""}},
            work / "tarvex.log");
        // Past the first cycles, then at a random point of the tick period.
        if (!waitUntil([&] { return readListState(state).writes >= 3; }, Millis(20000))) {
            std::fprintf(stderr, "%s: Tarvex did not scan\n%s", p.name, readFile(work / "tarvex.log").c_str());
            return false;
        }
        std::this_thread::sleep_for(Millis(offset(rng)));
        const auto plugged = Clock::now();
        simControl(ctl, "plug");
        bool listed = false;
        while (Clock::now() - plugged < Millis(10000)) {
            if ((listed = listedByKey(readListState(state), p.key)))
                break;
            std::this_thread::sleep_for(Millis(2));
        }
        if (listed)
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - plugged).count());
        tarvex.stop();
    }
    if (ms.empty()) {
        std::printf("  %-5s never listed\n", p.name);
        return false;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("  %-5s median %5.0f ms   min %5.0f ms   max %5.0f ms   (%zu of %d rounds)\n", p.name,
        ms[ms.size() / 2], ms.front(), ms.back(), ms.size(), rounds);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // bench_plug [ROUNDS [TARVEX]]: another Tarvex (an older build, say) can
    // be measured against the same simulated reader.
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const std::string program = argc > 2 ? argv[2] : TARVEX_PATH;
    // The drive is mounted in a mount namespace of this program's own.
    const bool mounts
        = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    TempDir work("zn480-bench-plug");
    ::mkdir((work / "dev").c_str(), 0755);
    std::string vpcdPort;
    {
        Process pick;
        pick.start({"sh", PRIVATE_PCSCD_SCRIPT, "-F"}, {}, work / "port");
        waitUntil([&] { return !trimmed(readFile(work / "port")).empty(); }, Millis(5000));
        vpcdPort = trimmed(readFile(work / "port"));
    }
    const std::string service = std::string("exec sh '") + PRIVATE_PCSCD_SCRIPT + "' -N 'ZN480 Bench' -D '"
        + (work / "pcscd") + "' -p " + vpcdPort + " >>'" + (work / "pcscd.out") + "' 2>&1";
    std::vector<Personality> all = {
        {"CDC",
            {"--personality", "cdc", "--cdc-link", work / "dev/ttyACM2", "--hid-testbed", work / "CDC.testbed",
                "--led-display", "none", "--serial", "5A0C3E11"},
            "COM3 ZN480 CDC"},
        {"CCID",
            {"--personality", "ccid", "--vpcd-port", vpcdPort, "--ccid-service", service, "--hid-testbed",
                work / "CCID.testbed", "--led-display", "none", "--serial", "5A0C3E11"},
            "CCID ZN480 Bench 00 00"},
        {"HID", {"--personality", "hid", "--hid-testbed", work / "HID.testbed", "--led-display", "none"},
            "HID ZN480 Keyboard 0"},
    };
    if (mounts)
        all.push_back(
            {"MSD", {"--personality", "msd", "--msd-mount", work / "drive"}, "MSD ZN480 Mass Storage", false});
    std::printf("plug to listed, refresh box checked, plugged at a random point between two ticks\n");
    std::mt19937 rng(480);
    bool ok = true;
    for (const Personality& p : all)
        ok = measure(work, p, rounds, rng, program) && ok;
    if (!mounts)
        std::printf("  MSD   not measured (needs root for a mount namespace)\n");
    return ok ? 0 : 1;
}
