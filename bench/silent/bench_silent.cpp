// Three foreign USB serial devices that never answer (a modem, a board, a
// scanner: vendor 1234 in a umockdev testbed, each a pty that counts what it
// is sent) beside the real Tarvex with the refresh box checked and no
// reader. Printed: the probe bytes each port received, the share of the
// time the window was locked (from its state file), and the longest time
// the window did not answer an X ping (_NET_WM_PING), i.e. its longest
// event-loop stall.
#include <umockdev.h> // before anything that might pull in other headers

#include "scan_harness.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace zn480scan;
using Clock = std::chrono::steady_clock;

namespace {

struct SilentPort {
    int master = -1;
    std::atomic<long> bytes{0};
    std::atomic<int> bursts{0}; // separate arrivals, 200 ms apart or more
};

// Reads and counts whatever the program sends; answers nothing.
void drain(std::vector<SilentPort>& ports, const std::atomic<bool>& stop)
{
    std::vector<Clock::time_point> last(ports.size());
    while (!stop) {
        std::vector<pollfd> fds;
        for (auto& p : ports)
            fds.push_back({p.master, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        for (size_t i = 0; i < ports.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            char buf[512];
            const ssize_t n = ::read(ports[i].master, buf, sizeof buf);
            if (n <= 0)
                continue;
            if (ports[i].bytes == 0 || Clock::now() - last[i] > std::chrono::milliseconds(200))
                ++ports[i].bursts;
            last[i] = Clock::now();
            ports[i].bytes += n;
        }
    }
}

// The longest wait for the window's answer to _NET_WM_PING, pinging every
// 20 ms for `seconds`.
double longestPingMs(const char* display, const std::string& title, int seconds, const std::atomic<bool>& stop)
{
    Display* d = XOpenDisplay(display);
    if (!d)
        return -1;
    const Window root = DefaultRootWindow(d);
    const Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(d, "_NET_WM_PING", False);
    // The answer goes to the root window for whoever redirects it: there is
    // no window manager here, so this program does.
    XSelectInput(d, root, SubstructureRedirectMask | SubstructureNotifyMask);
    Window target = 0;
    for (int tries = 0; tries < 200 && !target; ++tries) {
        Window r, p, *kids = nullptr;
        unsigned n = 0;
        if (XQueryTree(d, root, &r, &p, &kids, &n)) {
            for (unsigned i = 0; i < n && !target; ++i) {
                char* name = nullptr;
                if (XFetchName(d, kids[i], &name) && name) {
                    if (title == name) {
                        XWindowAttributes a;
                        if (XGetWindowAttributes(d, kids[i], &a) && a.map_state == IsViewable)
                            target = kids[i];
                    }
                    XFree(name);
                }
            }
            if (kids)
                XFree(kids);
        }
        if (!target)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!target) {
        XCloseDisplay(d);
        return -1;
    }
    double worst = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    unsigned long stamp = 1;
    while (Clock::now() < end && !stop) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = target;
        e.xclient.message_type = protocols;
        e.xclient.format = 32;
        e.xclient.data.l[0] = long(ping);
        e.xclient.data.l[1] = long(++stamp);
        e.xclient.data.l[2] = long(target);
        const auto sent = Clock::now();
        XSendEvent(d, target, False, NoEventMask, &e);
        XFlush(d);
        bool answered = false;
        while (!answered && Clock::now() - sent < std::chrono::seconds(10)) {
            while (XPending(d)) {
                XEvent r;
                XNextEvent(d, &r);
                if (r.type == ClientMessage && Atom(r.xclient.data.l[0]) == ping
                    && (unsigned long)r.xclient.data.l[1] == stamp)
                    answered = true;
            }
            if (!answered) {
                pollfd p{ConnectionNumber(d), POLLIN, 0};
                ::poll(&p, 1, 1);
            }
        }
        worst = std::max(worst, std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    XCloseDisplay(d);
    return worst;
}

} // namespace

int main(int argc, char** argv)
{
    // bench_silent [SECONDS [TARVEX]]: another Tarvex (an older build, say)
    // can be measured beside the same ports.
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    const std::string program = argc > 2 ? argv[2] : TARVEX_PATH;
    TempDir work("zn480-bench-silent");
    ::mkdir((work / "dev").c_str(), 0755);
    UMockdevTestbed* tb = umockdev_testbed_new();
    gchar* rootDir = umockdev_testbed_get_root_dir(tb);
    const std::string testbed = rootDir;
    g_free(rootDir);

    std::vector<SilentPort> ports(3);
    for (size_t i = 0; i < ports.size(); ++i) {
        int slave = -1;
        char name[128];
        if (::openpty(&ports[i].master, &slave, name, nullptr, nullptr) != 0)
            return std::perror("openpty"), 1;
        const std::string node = "ttyACM" + std::to_string(i);
        ::symlink(name, (work / ("dev/" + node)).c_str());
        // The record form: umockdev checks no parent against the real /sys.
        const std::string n = std::to_string(i + 2);
        const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + n;
        const std::string rec = "P: " + usb
            + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=1234\n"
              "A: idProduct=5678\nA: busnum=1\nA: devnum="
            + n
            + "\n\n"
              "P: "
            + usb + "/1-" + n
            + ":1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n"
              "P: "
            + usb + "/1-" + n + ":1.0/tty/" + node + "\nE: SUBSYSTEM=tty\n\n";
        GError* err = nullptr;
        if (!umockdev_testbed_add_from_string(tb, rec.c_str(), &err)) {
            std::fprintf(stderr, "testbed: %s\n", err ? err->message : "?");
            return 1;
        }
    }
    std::atomic<bool> stop{false};
    std::thread counter([&] { drain(ports, stop); });

    // A display of our own, no window manager: the pinger takes the root.
    const std::string display = ":" + std::to_string(480 + ::getpid() % 400);
    Process xvfb;
    xvfb.start({"Xvfb", display, "-screen", "0", "800x600x24", "-nolisten", "tcp"}, {}, work / "xvfb.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    Process tarvex;
    const std::string state = work / "state";
    tarvex.start({"umockdev-wrapper", program},
        {{"DISPLAY", display}, {"UMOCKDEV_DIR", testbed}, {"ZN480_DEV_DIR", work / "dev"},
            {"PCSCLITE_CSOCK_NAME", work / "no-pcscd.comm"}, {"TARVEX_STATE_FILE", state},
            {"XDG_RUNTIME_DIR", work.path}, {"QT_QPA_PLATFORM", "xcb"}},
        work / "tarvex.log");
    if (!waitUntil([&] { return readListState(state).valid; }, Millis(20000))) {
        std::fprintf(stderr, "Tarvex did not start\n%s", readFile(work / "tarvex.log").c_str());
        return 1;
    }

    // The locked share, sampled every 10 ms from the state file.
    std::atomic<long> samples{0}, locked{0};
    std::thread sampler([&] {
        while (!stop) {
            const std::string s = readFile(state);
            if (s.find("writes=") != std::string::npos) {
                ++samples;
                if (s.find("\nenabled=0") != std::string::npos)
                    ++locked;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const double worst = longestPingMs(display.c_str(), "ZN480 USB Switch", seconds, stop);
    const bool stillChecked = readListState(state).refresh;
    stop = true;
    sampler.join();
    counter.join();
    tarvex.stop();
    xvfb.stop();
    g_object_unref(tb);

    std::printf("three silent ports of vendor 1234, refresh box checked, %d s%s\n", seconds,
        stillChecked ? "" : " (the box was cleared!)");
    for (size_t i = 0; i < ports.size(); ++i)
        std::printf("  COM%zu: %ld bytes in %d probe burst(s)\n", i + 1, ports[i].bytes.load(), ports[i].bursts.load());
    std::printf("  window locked %.1f%% of the time (%ld samples)\n",
        samples ? 100.0 * double(locked) / double(samples) : 0.0, samples.load());
    std::printf("  longest event-loop stall (X ping round trip) %.0f ms\n", worst);
    return 0;
}
