// zn480sim: serves a simulated ZN480 reader to other programs until SIGTERM.
#include "control.h"
#include "hex.h"
#include "zn480sim/device.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace zn480sim;

namespace {

void usage(FILE* f)
{
    std::fprintf(f,
        "usage: zn480sim [options]\n"
        "  --cdc-link PATH        serve the CDC personality on a pty linked at PATH\n"
        "  --vpcd-port PORT       serve the CCID personality as the card of the virtual\n"
        "                         reader whose driver listens on 127.0.0.1:PORT\n"
        "  --vpcd-host ADDR       another address for the driver (IPv4)\n"
        "  --ccid-service CMD     a command (sh -c) that serves that virtual reader, run\n"
        "                         only while the reader is in CCID personality (a private\n"
        "                         pcscd: the reader is then listed only as a CCID reader)\n"
        "  --hid-testbed FILE     serve the HID personality as a USB keyboard 6A4E:0013 in a\n"
        "                         umockdev testbed; its folder is written to FILE at start:\n"
        "                         run programs under umockdev-wrapper with\n"
        "                         UMOCKDEV_DIR=\"$(cat FILE)\"\n"
        "  --hid-interfaces N     HID interfaces of that keyboard (default 1)\n"
        "  --led-display DISPLAY  X display whose lock-key LEDs the HID personality watches\n"
        "                         (default $DISPLAY; none: not watched). On the reset\n"
        "                         pattern (all on, Scroll off, Caps blinking) the reader\n"
        "                         leaves HID and comes back as it was before HID (or CDC)\n"
        "  --no-keyboard-node     the HID keyboard without its raw HID node (LEDs then come\n"
        "                         only through the X display)\n"
        "  --msd-mount DIR        serve the MSD personality as an ext2 image holding only\n"
        "                         APDU_314.MSD, loop-mounted on DIR (root; the mount is made\n"
        "                         in the simulator's mount namespace)\n"
        "  --personality P        ccid, cdc, hid or msd (default: cdc when --cdc-link is\n"
        "                         given, else ccid, hid, msd, whichever channel is given)\n"
        "  --serial HEX8          serial number (default 01020304)\n"
        "  --fw MAJOR.MINOR       firmware version (default 2.166)\n"
        "  --fake 0|2|255         fake-card setting (default 0)\n"
        "  --no-card              start the CCID reader without a card\n"
        "  --fake-hold MS         how long setting 255 keeps a removed card (30000)\n"
        "  --restart-delay MS     pause of a reboot into a new personality (1000)\n"
        "  --log FILE             append every command and its reply as hex\n"
        "  --control SOCKET       unix socket taking line commands:\n%s",
        controlHelp());
}

bool parseNum(const char* s, long lo, long hi, long& out)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno || !end || *end || end == s || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

std::mutex outMu;
void say(const std::string& line)
{
    std::lock_guard lk(outMu);
    std::printf("zn480sim: %s\n", line.c_str());
    std::fflush(stdout);
}

// One client at a time is plenty for tests and the demo; each line gets an
// answer ending in a line that starts with OK or ERR.
void serveControl(int listenFd, int stopFd, Device& device)
{
    for (;;) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents)
            return;
        int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        std::string buf;
        bool open = true;
        while (open) {
            pollfd q[2] = {{c, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(q, 2, -1) < 0 && errno != EINTR)
                break;
            if (q[1].revents) {
                ::close(c);
                return;
            }
            char tmp[512];
            ssize_t n = ::read(c, tmp, sizeof tmp);
            if (n <= 0)
                break;
            buf.append(tmp, static_cast<size_t>(n));
            if (buf.size() > 65536)
                break; // no line is that long
            size_t nl;
            while ((nl = buf.find('\n')) != std::string::npos) {
                std::string line = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (line == "quit") {
                    open = false;
                    break;
                }
                std::string answer = runControlCommand(device, line) + "\n";
                if (::send(c, answer.data(), answer.size(), MSG_NOSIGNAL) < 0)
                    open = false;
            }
        }
        ::close(c);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string cdcLink, vpcdHost = "127.0.0.1", logPath, controlPath, personality;
    std::string hidTestbed, msdMount, ledDisplay, ccidService;
    bool hid = false, keyboardNode = true;
    long vpcdPort = 0, restartDelay = 1000, fakeHold = 30000, n = 0, hidInterfaces = 1;
    bool card = true;
    ReaderConfig cfg;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zn480sim: %s needs a value\n", what);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--cdc-link")
            cdcLink = value("--cdc-link");
        else if (a == "--vpcd-port") {
            if (!parseNum(value("--vpcd-port"), 1, 65535, vpcdPort))
                return usage(stderr), 2;
        } else if (a == "--vpcd-host")
            vpcdHost = value("--vpcd-host");
        else if (a == "--ccid-service")
            ccidService = value("--ccid-service");
        else if (a == "--personality")
            personality = value("--personality");
        else if (a == "--hid-testbed") {
            hidTestbed = value("--hid-testbed");
            hid = true;
        } else if (a == "--hid-interfaces") {
            if (!parseNum(value("--hid-interfaces"), 1, 8, hidInterfaces))
                return usage(stderr), 2;
        } else if (a == "--led-display")
            ledDisplay = value("--led-display");
        else if (a == "--no-keyboard-node")
            keyboardNode = false;
        else if (a == "--msd-mount")
            msdMount = value("--msd-mount");
        else if (a == "--serial") {
            auto b = fromHex(value("--serial"));
            if (!b || b->size() != 4)
                return std::fprintf(stderr, "zn480sim: --serial takes 8 hex digits\n"), 2;
            std::copy(b->begin(), b->end(), cfg.serial);
        } else if (a == "--fw") {
            std::string v = value("--fw");
            auto dot = v.find('.');
            long ma = 0, mi = 0;
            if (dot == std::string::npos || !parseNum(v.substr(0, dot).c_str(), 0, 65535, ma)
                || !parseNum(v.substr(dot + 1).c_str(), 0, 65535, mi))
                return std::fprintf(stderr, "zn480sim: --fw takes MAJOR.MINOR\n"), 2;
            cfg.fwMajor = static_cast<uint16_t>(ma);
            cfg.fwMinor = static_cast<uint16_t>(mi);
        } else if (a == "--fake") {
            if (!parseNum(value("--fake"), 0, 255, n) || (n != 0 && n != 2 && n != 255))
                return std::fprintf(stderr, "zn480sim: --fake takes 0, 2 or 255\n"), 2;
            cfg.fakeCard = static_cast<uint8_t>(n);
        } else if (a == "--no-card")
            card = false;
        else if (a == "--fake-hold") {
            if (!parseNum(value("--fake-hold"), 0, 3600000, fakeHold))
                return usage(stderr), 2;
        } else if (a == "--restart-delay") {
            if (!parseNum(value("--restart-delay"), 0, 600000, restartDelay))
                return usage(stderr), 2;
        } else if (a == "--log")
            logPath = value("--log");
        else if (a == "--control")
            controlPath = value("--control");
        else if (a == "-h" || a == "--help")
            return usage(stdout), 0;
        else {
            std::fprintf(stderr, "zn480sim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (cdcLink.empty() && vpcdPort == 0 && !hid && msdMount.empty()) {
        std::fprintf(stderr, "zn480sim: give at least one of --cdc-link, --vpcd-port, --hid-testbed, --msd-mount\n");
        return 2;
    }
    if (personality.empty())
        personality = !cdcLink.empty() ? "cdc" : vpcdPort ? "ccid" : hid ? "hid" : "msd";
    auto p = parsePersonality(personality);
    if (!p) {
        std::fprintf(stderr, "zn480sim: --personality takes ccid, cdc, hid or msd\n");
        return 2;
    }
    cfg.personality = *p;

    // Signals go to sigwait in main only; block them before any thread starts.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Device device(cfg);
    device.setRestartDelay(std::chrono::milliseconds(restartDelay));
    device.onChange(say);

    std::ofstream log;
    std::mutex logMu;
    if (!logPath.empty()) {
        log.open(logPath, std::ios::app);
        if (!log)
            return std::fprintf(stderr, "zn480sim: cannot open %s\n", logPath.c_str()), 1;
        device.reader().onExchange([&](const std::vector<uint8_t>& c, const std::vector<uint8_t>& r) {
            std::lock_guard lk(logMu);
            log << toHex(c) << " -> " << toHex(r) << std::endl;
        });
    }

    if (!cdcLink.empty())
        device.setHost(Personality::CDC, std::make_unique<CdcHost>(device.reader(), cdcLink));
    if (vpcdPort) {
        auto h = std::make_unique<CcidHost>(device.reader(), static_cast<uint16_t>(vpcdPort), card, vpcdHost);
        h->card().setFakeHold(std::chrono::milliseconds(fakeHold));
        if (!ccidService.empty())
            h->setService(ccidService);
        device.setHost(Personality::CCID, std::move(h));
    }

    if (hid) {
        auto h = std::make_unique<HidHost>(hidTestbed, static_cast<int>(hidInterfaces), ledDisplay);
        if (!h->ok())
            return std::fprintf(stderr, "zn480sim: cannot make a umockdev testbed\n"), 1;
        h->setKeyboardNode(keyboardNode);
        say("HID testbed " + h->testbedDir());
        // The reader's answer to the LED pattern: leave HID as after a reboot.
        h->onPattern([&device](const std::string& where) {
            const Personality back = device.personalityBeforeHid();
            say(std::string("LED reset pattern seen: leaving HID for ") + personalityName(back) + " (on " + where
                + ")");
            device.restartInto(back);
        });
        // With both, the CDC personality's port is a USB device in the
        // testbed too, as the hardware's would be: a ttyACM node below a
        // device of the reader's vendor id, plugged and unplugged with it.
        if (auto* cdc = dynamic_cast<CdcHost*>(device.host(Personality::CDC))) {
            HidHost* bus = h.get();
            const std::string name = cdcLink.substr(cdcLink.find_last_of('/') + 1);
            cdc->onPlug([bus, name, cdcLink](bool present) { bus->showSerialPort(name, present, cdcLink); });
        }
        device.setHost(Personality::HID, std::move(h));
    }
    if (!msdMount.empty())
        device.setHost(Personality::MSD, std::make_unique<MsdHost>(msdMount));

    int listenFd = -1;
    int stopPipe[2] = {-1, -1};
    std::thread control;
    if (!controlPath.empty()) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        if (controlPath.size() >= sizeof a.sun_path)
            return std::fprintf(stderr, "zn480sim: control path too long\n"), 1;
        std::strcpy(a.sun_path, controlPath.c_str());
        ::unlink(controlPath.c_str());
        listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
            || ::listen(listenFd, 4) != 0 || ::pipe2(stopPipe, O_CLOEXEC) != 0) {
            std::fprintf(stderr, "zn480sim: cannot listen on %s: %s\n", controlPath.c_str(), std::strerror(errno));
            return 1;
        }
        control = std::thread(serveControl, listenFd, stopPipe[0], std::ref(device));
    }

    {
        const ReaderConfig c = device.reader().config();
        say("ZN480 reader, serial " + toHex(c.serial, 4) + ", firmware " + std::to_string(c.fwMajor) + "."
            + std::to_string(c.fwMinor) + ", fake-card setting " + std::to_string(c.fakeCard));
        if (!controlPath.empty())
            say("control socket " + controlPath);
    }
    const bool started = device.plugIn();
    if (!started) {
        if (auto* msd = dynamic_cast<MsdHost*>(device.host(Personality::MSD)); msd && !msd->error().empty())
            say(msd->error());
        say("could not start");
    } else {
        int sig = 0;
        sigwait(&sigs, &sig);
        say("stopping");
    }
    if (control.joinable()) {
        (void)!::write(stopPipe[1], "x", 1);
        control.join();
        ::close(listenFd);
        ::close(stopPipe[0]);
        ::close(stopPipe[1]);
        ::unlink(controlPath.c_str());
    }
    device.onChange(nullptr);
    device.unplug();
    device.reader().onExchange(nullptr);
    return started ? 0 : 1;
}
