// Runs Windows test programs of the MinGW build under Wine, against the same
// reader simulator the Linux tests use.
//
// For one run it creates a fresh Wine prefix in a temporary folder and gives
// the Windows side:
//   COM5   the simulated reader in CDC personality (a pty, listed as USBSER);
//   COM20  a control line: the Windows test writes one command per line
//          ("nak 2", "silent 1", "stall 1", "unplug", ...) and this program flips the
//          simulator's switches and answers "ok ..." (see Control below);
//   COM21  a raw echo line: every byte written comes straight back, the
//          fastest answer a port can give (the benchmarks' yardstick);
//   COM7   /dev/null listed as a USBSER port, COM8 /dev/null listed under a
//          plain serial name, COM9 /dev/null not listed: ports whose driver
//          refuses line settings, to tell the two USB CDC answers apart;
//   m:     a drive whose root holds the marker file, a hidden file and a folder;
//   n:     an empty drive of removable type.
// The Windows tests learn these through TARVEX_WINE_* environment variables
// (Wine passes the Unix environment on) and skip when they are absent.
//
// Usage: wine_driver BIN_DIR PROGRAM.exe [PROGRAM.exe ...]
// Exit status: 0 all passed; 77 skipped (no Wine or no Windows build);
// otherwise the first failing program's status (or 1).
#include "zn480sim/cdc_peer.h"
#include "zn480sim/reader.h"

#include "run_logged.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int kSkip = 77;
constexpr int kSimPort = 5;
constexpr int kControlPort = 20;
constexpr int kEchoPort = 21;

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) { }
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

bool onPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// Runs a program with its output in `logPath` (see run_logged.h); kills it
// after `limit`. Returns its exit status, or -1 when it could not run or was
// killed.
int run(const std::vector<std::string>& argv, const std::string& logPath,
    std::chrono::seconds limit = std::chrono::seconds(120))
{
    bool timedOut = false;
    const int status = zn480wine::runLogged(argv, logPath, limit, &timedOut);
    if (timedOut)
        std::fprintf(stderr, "wine_driver: %s took longer than %llds; killed\n", argv[0].c_str(),
            static_cast<long long>(limit.count()));
    return status;
}

void copyToStdout(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::cout << in.rdbuf();
    std::cout.flush();
}

std::string speedName(speed_t s)
{
    switch (s) {
    case B9600:
        return "9600";
    case B19200:
        return "19200";
    case B38400:
        return "38400";
    case B57600:
        return "57600";
    case B115200:
        return "115200";
    default:
        return "other";
    }
}

// A raw 115200 pty whose slave `linkPath` names (a COM port of the prefix).
// The slave stays open here too, so the line stays up between the Windows
// side's opens.
bool openRawPtyAt(const std::string& linkPath, UniqueFd& master, UniqueFd& slave)
{
    int m = -1;
    int s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) != 0)
        return false;
    master.reset(m);
    slave.reset(s);
    termios t{};
    ::tcgetattr(s, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B115200);
    ::tcsetattr(s, TCSANOW, &t);
    std::error_code ec;
    fs::remove(linkPath, ec);
    fs::create_symlink(::ttyname(s), linkPath, ec);
    return !ec;
}

// The control line: one command per line from the Windows test, one answer
// per line back. Commands act on the simulated reader on COM5.
class Control {
public:
    Control(zn480sim::CdcPeer& peer, std::string simLink) : peer_(peer), simLink_(std::move(simLink)) { }
    ~Control() { stop(); }

    bool start(const std::string& linkPath)
    {
        if (!openRawPtyAt(linkPath, master_, slave_))
            return false;
        running_ = true;
        thread_ = std::thread([this] { serve(); });
        return true;
    }

    void stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }

private:
    void serve()
    {
        std::string line;
        while (running_) {
            pollfd p{master_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0 || !(p.revents & POLLIN))
                continue;
            char buf[256];
            const ssize_t n = ::read(master_.get(), buf, sizeof buf);
            if (n <= 0)
                continue;
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] == '\n') {
                    reply(handle(line));
                    line.clear();
                } else if (buf[i] != '\r') {
                    line.push_back(buf[i]);
                }
            }
        }
    }

    void reply(const std::string& text)
    {
        const std::string out = text + "\n";
        (void)!::write(master_.get(), out.data(), out.size());
    }

    std::string handle(const std::string& command)
    {
        std::istringstream in(command);
        std::string verb;
        in >> verb;
        long a = 0;
        long b = 0;
        if (verb == "nak" && in >> a)
            peer_.nakNext(int(a));
        else if (verb == "silent" && in >> a)
            peer_.setSilent(a != 0);
        else if (verb == "stall" && in >> a)
            peer_.stopReading(a != 0);
        else if (verb == "foreign" && in >> std::hex >> a)
            peer_.foreignByteNext(uint8_t(a));
        else if (verb == "pieces" && in >> a >> b)
            peer_.replyInPieces(int(a), int(b));
        else if (verb == "midframe")
            peer_.stopMidFrameNext();
        else if (verb == "wrongseq")
            peer_.wrongSequenceNext();
        else if (verb == "badcheck")
            peer_.badCheckNext();
        else if (verb == "noreply")
            peer_.noReplyNext();
        else if (verb == "flood" && in >> a)
            peer_.floodGarbage(size_t(a));
        else if (verb == "counts")
            return "ok " + std::to_string(peer_.framesReceived()) + " " + std::to_string(peer_.acksReceived()) + " "
                + std::to_string(peer_.naksReceived());
        else if (verb == "line")
            return "ok " + lineSettings();
        else if (verb == "unplug")
            peer_.stop();
        else if (verb == "replug") {
            if (!peer_.start() || !peer_.linkAs(simLink_))
                return "err replug";
        } else
            return "err unknown command: " + command;
        return "ok";
    }

    // The settings the Windows side put on the reader's line, as the reader
    // sees them: speed, data bits, parity, stop bits.
    std::string lineSettings()
    {
        UniqueFd fd(::open(peer_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        termios t{};
        if (fd.get() < 0 || ::tcgetattr(fd.get(), &t) != 0)
            return "unknown";
        const int bits = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 0;
        const char parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
        const int stop = (t.c_cflag & CSTOPB) ? 2 : 1;
        return speedName(::cfgetospeed(&t)) + " " + std::to_string(bits) + " " + parity + " " + std::to_string(stop);
    }

    zn480sim::CdcPeer& peer_;
    std::string simLink_;
    UniqueFd master_;
    UniqueFd slave_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// A pty whose far end sends back every byte it gets, at once.
class EchoLine {
public:
    ~EchoLine() { stop(); }

    bool start(const std::string& linkPath)
    {
        if (!openRawPtyAt(linkPath, master_, slave_))
            return false;
        running_ = true;
        thread_ = std::thread([this] { serve(); });
        return true;
    }

    void stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }

private:
    void serve()
    {
        while (running_) {
            pollfd p{master_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0 || !(p.revents & POLLIN))
                continue;
            char buf[512];
            const ssize_t n = ::read(master_.get(), buf, sizeof buf);
            if (n > 0)
                (void)!::write(master_.get(), buf, size_t(n));
        }
    }

    UniqueFd master_;
    UniqueFd slave_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "tarvex-wine.XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Stops every Wine process of the prefix, however the run ends.
class WineServerGuard {
public:
    explicit WineServerGuard(std::string log) : log_(std::move(log)) { }
    ~WineServerGuard() { stop(); }
    void stop()
    {
        run({"wineserver", "-k"}, log_, std::chrono::seconds(30));
        run({"wineserver", "-w"}, log_, std::chrono::seconds(30));
    }

private:
    std::string log_;
};

bool regAdd(const std::string& key, const std::string& name, const std::string& data, const std::string& log)
{
    return run({"wine", "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", data, "/f"}, log) == 0;
}

void fail(const std::string& what, const std::string& log)
{
    std::fprintf(stderr, "wine_driver: %s (log follows)\n", what.c_str());
    std::cerr << std::ifstream(log).rdbuf();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BIN_DIR PROGRAM.exe [PROGRAM.exe ...]\n", argv[0]);
        return 2;
    }
    const fs::path bin = argv[1];
    std::vector<std::string> programs(argv + 2, argv + argc);
    for (const auto& p : programs) {
        if (!fs::exists(bin / p)) {
            std::printf("SKIP: %s is missing: build the Windows cross-build first "
                        "(cmake --preset mingw64 && cmake --build --preset mingw64)\n",
                (bin / p).c_str());
            return kSkip;
        }
    }
    if (!onPath("wine") || !onPath("wineboot") || !onPath("wineserver")) {
        std::printf("SKIP: Wine is not installed (packages wine, wine64)\n");
        return kSkip;
    }

    std::signal(SIGPIPE, SIG_IGN);
    TempDir tmp;
    if (tmp.path().empty()) {
        std::fprintf(stderr, "wine_driver: cannot make a temporary folder\n");
        return 1;
    }
    const std::string prefix = tmp.path() + "/prefix";
    const std::string log = tmp.path() + "/wine.log";
    const std::string dosdevices = prefix + "/dosdevices";
    ::setenv("WINEPREFIX", prefix.c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    // Skip the prompts for the .NET and HTML runtimes when the prefix is made.
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // Headless: never attach to somebody's X display.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");

    WineServerGuard server(log);
    if (run({"wineboot", "-i"}, log, std::chrono::seconds(180)) != 0) {
        fail("cannot create the Wine prefix", log);
        return 1;
    }
    // Drive types are read when the server starts: set it, then restart.
    if (!regAdd("HKLM\\Software\\Wine\\Drives", "n:", "floppy", log)) {
        fail("cannot set the drive type", log);
        return 1;
    }
    server.stop();

    // Drives.
    const std::string msd = tmp.path() + "/msd";
    const std::string empty = tmp.path() + "/empty";
    fs::create_directories(msd + "/folder");
    fs::create_directories(empty);
    std::ofstream(msd + "/APDU_314.MSD") << "marker";
    std::ofstream(msd + "/.hidden") << "hidden"; // dot files are hidden under Wine
    std::error_code ec;
    fs::create_symlink(msd, dosdevices + "/m:", ec);
    fs::create_symlink(empty, dosdevices + "/n:", ec);
    for (int port : {7, 8, 9}) {
        fs::remove(dosdevices + "/com" + std::to_string(port), ec);
        fs::create_symlink("/dev/null", dosdevices + "/com" + std::to_string(port), ec);
    }

    // The reader and the control line.
    zn480sim::Reader reader;
    zn480sim::CdcPeer peer(reader);
    const std::string simLink = dosdevices + "/com" + std::to_string(kSimPort);
    fs::remove(simLink, ec);
    if (!peer.start() || !peer.linkAs(simLink)) {
        std::fprintf(stderr, "wine_driver: cannot start the simulated reader\n");
        return 1;
    }
    Control control(peer, simLink);
    if (!control.start(dosdevices + "/com" + std::to_string(kControlPort))) {
        std::fprintf(stderr, "wine_driver: cannot open the control line\n");
        return 1;
    }
    EchoLine echo;
    if (!echo.start(dosdevices + "/com" + std::to_string(kEchoPort))) {
        std::fprintf(stderr, "wine_driver: cannot open the echo line\n");
        return 1;
    }

    // One server for the rest of the run: the serial-port map is rebuilt at
    // each server start, so the values below live exactly as long as it does.
    if (run({"wineserver", "-p"}, log) != 0) {
        fail("cannot start wineserver", log);
        return 1;
    }
    const std::string serialcomm = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    const bool registryOk = regAdd(serialcomm, "\\Device\\USBSER000", "COM5", log)
        && regAdd(serialcomm, "\\Device\\USBSER007", "COM7", log)
        && regAdd(serialcomm, "\\Device\\Serial8", "COM8", log)
        && regAdd(serialcomm, "\\Device\\Parallel3", "LPT3", log);
    if (!registryOk) {
        fail("cannot write the serial-port map", log);
        return 1;
    }

    ::setenv("TARVEX_WINE_SIM_PORT", std::to_string(kSimPort).c_str(), 1);
    ::setenv("TARVEX_WINE_CONTROL_PORT", std::to_string(kControlPort).c_str(), 1);
    ::setenv("TARVEX_WINE_ECHO_PORT", std::to_string(kEchoPort).c_str(), 1);
    ::setenv("TARVEX_WINE_USBSER_DEAD_PORT", "7", 1);
    ::setenv("TARVEX_WINE_PLAIN_DEAD_PORT", "8", 1);
    ::setenv("TARVEX_WINE_UNLISTED_DEAD_PORT", "9", 1);
    ::setenv("TARVEX_WINE_MSD_DRIVE", "m:", 1);
    ::setenv("TARVEX_WINE_EMPTY_DRIVE", "n:", 1);

    int result = 0;
    for (const auto& p : programs) {
        const std::string out = tmp.path() + "/" + p + ".out";
        std::printf("== %s under Wine\n", p.c_str());
        std::fflush(stdout);
        const int rc = run({"wine", (bin / p).string()}, out, std::chrono::seconds(240));
        copyToStdout(out);
        std::printf("== %s: exit status %d\n", p.c_str(), rc);
        std::fflush(stdout);
        if (rc != 0 && result == 0)
            result = rc > 0 ? rc : 1;
    }

    // Wine first, then the ptys: a server still polling a pty whose master
    // is gone can spin.
    server.stop();
    echo.stop();
    control.stop();
    peer.stop();
    return result == kSkip ? 1 : result;
}
