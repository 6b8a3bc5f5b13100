// Prints how long a personality switch takes as a person sees it: from the
// click on "To CDC" or "To CCID" in the real Tarvex (under its own Xvfb) to
// the success message, and to the reader's new entry in the list. The
// message is answered as soon as it shows and the CCID dialog is confirmed
// with its default choice at once, so the figures are the program's and the
// reader's time: the 2000 ms reboot pause, the simulated reader's 1000 ms
// restart, and the wait for the next 2000 ms scan tick.
//
//   bench_switch [ROUNDS]     (default 5; needs root, Xvfb, openbox, xdotool)
#include "drive_tarvex.h"
#include "private_pcscd.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zn480e2e;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kCcidEntry = "CCID ZN480 Sim 1 00 00 - 01020304 (2.166)";
const std::string kCdcEntry = "COM3 ZN480 CDC - 01020304 (2.166)";

double ms(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Figures {
    std::vector<double> toMessage, toListed;
};

void summary(const char* what, std::vector<double> v)
{
    if (v.empty()) {
        std::printf("  %-34s  no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("  %-34s  min %7.0f  median %7.0f  max %7.0f ms  (n=%zu)\n", what, v.front(), v[v.size() / 2], v.back(),
        v.size());
}

// One switch; false when something did not happen.
bool timeSwitch(TarvexApp& app, const std::string& from, TarvexApp::Button button, const std::string& dialog,
    const std::string& to, Figures& f)
{
    const size_t message = app.state().messages.size();
    // Timed from the click that started the command: one that lands during
    // a scan cycle is lost and repeated.
    if (!app.startCommand(from, button, dialog))
        return false;
    const Clock::time_point click = app.lastClick();
    if (!dialog.empty() && !app.answerDialog(dialog, 5535, {}, Millis(10000)))
        return false;
    if (!app.waitState([&](const TarvexState& s) { return s.messages.size() > message; }, Millis(30000)))
        return false;
    const Clock::time_point shown = Clock::now();
    if (!app.answerMessage(message, Millis(5000)))
        return false;
    if (!app.waitState([&](const TarvexState& s) { return s.has(to) && s.enabled; }, Millis(30000)))
        return false;
    const Clock::time_point listed = Clock::now();
    f.toMessage.push_back(ms(click, shown));
    f.toListed.push_back(ms(click, listed));
    std::printf("    %-5s -> %-5s  message %6.0f ms   listed %6.0f ms\n", from.substr(0, 4).c_str(),
        to.substr(0, 4).c_str(), ms(click, shown), ms(click, listed));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (geteuid() != 0) {
        std::printf("bench_switch: skipped (the private PC/SC daemon needs root)\n");
        return 0;
    }
    TempDir work("bench-switch");
    std::filesystem::create_directory(work / "dev");
    Desktop desktop(work.path);
    if (!desktop.ok()) {
        std::fprintf(stderr, "bench_switch: %s\n", desktop.error().c_str());
        return 1;
    }
    // The reader as the hardware shows it: a PC/SC reader only while in
    // CCID, a 6A4E USB device with a ttyACM port while in CDC.
    SimPcscd pcscd(work.path);
    if (!pcscd.ok()) {
        std::fprintf(stderr, "bench_switch: no free port for the virtual reader\n");
        return 1;
    }
    SimReader::Options so;
    so.program = ZN480SIM_PATH;
    so.personality = "ccid";
    so.cdcLink = work / "dev/ttyACM2";
    so.vpcdPort = pcscd.port;
    so.ccidService = pcscd.service();
    so.hidTestbed = work / "testbed";
    so.display = "none";
    SimReader sim(work.path, so);
    if (!sim.ok()) {
        std::fprintf(stderr, "bench_switch: simulator did not start:\n%s", sim.output().c_str());
        return 1;
    }
    TarvexApp::Options to;
    to.program = TARVEX_PATH;
    to.deviceDir = work / "dev";
    to.pcscSocket = pcscd.socketPath();
    to.umockdevDir = sim.testbedDir();
    auto app = std::make_unique<TarvexApp>(desktop, work.path, to);
    if (!app->ok() || !app->waitState([](const TarvexState& s) { return s.has(kCcidEntry); }, Millis(20000))) {
        std::fprintf(stderr, "bench_switch: Tarvex did not list the reader: %s\n", app->error().c_str());
        return 1;
    }

    std::printf("click on a mode button -> success message / reader listed in its new personality\n");
    std::printf("(real Tarvex under Xvfb, simulated reader; %d rounds, load %.2f)\n", rounds, [] {
        double l = 0;
        if (FILE* f = std::fopen("/proc/loadavg", "r")) {
            if (std::fscanf(f, "%lf", &l) != 1)
                l = 0;
            std::fclose(f);
        }
        return l;
    }());
    Figures toCdc, toCcid;
    bool ok = true;
    for (int r = 0; r < rounds && ok; ++r) {
        ok = timeSwitch(*app, kCcidEntry, TarvexApp::Button::CDC, {}, kCdcEntry, toCdc)
            && timeSwitch(*app, kCdcEntry, TarvexApp::Button::CCID, "CCID Fake Card Selection", kCcidEntry, toCcid);
    }
    std::printf("\n");
    summary("CCID -> CDC: click to message", toCdc.toMessage);
    summary("CCID -> CDC: click to listed", toCdc.toListed);
    summary("CDC -> CCID: click to message", toCcid.toMessage);
    summary("CDC -> CCID: click to listed", toCcid.toListed);
    if (!ok) {
        std::fprintf(stderr, "bench_switch: a switch did not complete; state: %s\n", app->state().describe().c_str());
        if (const char* shot = std::getenv("BENCH_SWITCH_FAILSHOT"))
            desktop.screenshot(shot);
        return 1;
    }
    return 0;
}
