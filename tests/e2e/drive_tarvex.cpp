#include "drive_tarvex.h"

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zn480e2e {

namespace {

constexpr int kMainClientWidthTw = 4455;
constexpr TwipsRect kListTw{120, 120, 4215, 1230};
constexpr TwipsRect kCcidButtonTw{120, 1440, 1335, 495};
constexpr TwipsRect kCdcButtonTw{1560, 1440, 1335, 495};
constexpr TwipsRect kHidButtonTw{3000, 1440, 1335, 495};
constexpr TwipsRect kDialogOkTw{4560, 120, 855, 855};
const char* const kMainTitle = "ZN480 USB Switch";
const char* const kMessageTitle = "Tarvex";

// In the child between fork and exec: only async-signal-safe calls, plus
// setenv, which is fine in a child of a single fork.
[[noreturn]] void execChild(
    const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int outFd, int keepFd)
{
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0)
        dup2(in, 0);
    if (outFd >= 0) {
        dup2(outFd, 1);
        dup2(outFd, 2);
    }
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != keepFd)
            close(fd);
    for (const auto& [k, v] : env)
        setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

std::string quoteForRegex(const std::string& s)
{
    std::string r = "^";
    for (char c : s) {
        if (std::strchr("\\^$.|?*+()[]{}", c))
            r += '\\';
        r += c;
    }
    return r + "$";
}

int scale(int twips, int pixels, int totalTwips)
{
    return (twips * pixels + totalTwips / 2) / totalTwips;
}

} // namespace

bool waitUntil(const std::function<bool()>& done, Millis limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(Millis(25));
    }
}

std::string runCapture(const std::vector<std::string>& argv, int* status, const std::map<std::string, std::string>& env)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        if (status)
            *status = -1;
        return {};
    }
    pid_t pid = fork();
    if (pid == 0) {
        // A stuck X client must not hang the test: the alarm survives exec.
        alarm(20);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(p[1], 1);
        if (devnull >= 0)
            dup2(devnull, 2);
        execChild(argv, env, -1, -1);
    }
    close(p[1]);
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n > 0)
            out.append(buf, size_t(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    close(p[0]);
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) < 0)
        st = -1;
    if (status)
        *status = (st >= 0 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    return out;
}

// ---- Child

bool Child::start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
    const std::string& logPath, int keepFd)
{
    stop();
    int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        return false;
    pid_t pid = fork();
    if (pid == 0)
        execChild(argv, env, out, keepFd);
    close(out);
    if (pid < 0)
        return false;
    setpgid(pid, pid); // also in the child: whichever runs first
    pid_ = pid;
    return true;
}

bool Child::running()
{
    if (pid_ <= 0)
        return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        // Whatever the group still holds goes with its leader.
        kill(-pid_, SIGKILL);
        pid_ = -1;
        return false;
    }
    return true;
}

void Child::stop()
{
    if (pid_ <= 0)
        return;
    kill(-pid_, SIGTERM);
    int st = 0;
    bool gone = waitUntil([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, Millis(3000));
    kill(-pid_, SIGKILL); // stragglers of the group, and the leader if it hung
    if (!gone)
        waitpid(pid_, &st, 0);
    pid_ = -1;
}

// ---- TempDir

TempDir::TempDir(const std::string& stem)
{
    std::string tmpl = "/tmp/" + stem + "-XXXXXX";
    if (mkdtemp(tmpl.data()))
        path = tmpl;
}

TempDir::~TempDir()
{
    if (path.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// ---- Desktop

Desktop::Desktop(const std::string& workDir)
{
    int p[2];
    if (pipe(p) != 0) {
        error_ = "pipe";
        return;
    }
    // The display number comes back on the pipe once the server accepts
    // clients; -noreset keeps lock-key states between clients.
    fcntl(p[0], F_SETFD, FD_CLOEXEC);
    bool started = xvfb_.start(
        {"Xvfb", "-displayfd", std::to_string(p[1]), "-noreset", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"},
        {}, workDir + "/xvfb.log", p[1]);
    close(p[1]);
    std::string number;
    if (started) {
        const auto end = std::chrono::steady_clock::now() + Millis(20000);
        while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd pf{p[0], POLLIN, 0};
            if (poll(&pf, 1, 200) > 0) {
                char buf[32];
                ssize_t n = read(p[0], buf, sizeof buf);
                if (n <= 0)
                    break;
                number.append(buf, size_t(n));
            }
        }
    }
    close(p[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == '\r'))
        number.pop_back();
    if (number.empty()) {
        error_ = "Xvfb did not start: " + readFile(workDir + "/xvfb.log");
        return;
    }
    display_ = ":" + number;
    if (!wm_.start({"openbox"}, {{"DISPLAY", display_}}, workDir + "/openbox.log")) {
        error_ = "openbox did not start";
        return;
    }
    // Managed once the window manager has announced itself on the root.
    if (!waitUntil(
            [&] {
                return x({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") != std::string::npos;
            },
            Millis(15000))) {
        error_ = "openbox did not take the screen: " + readFile(workDir + "/openbox.log");
        return;
    }
    ok_ = true;
}

std::string Desktop::x(const std::vector<std::string>& argv, int* status) const
{
    return runCapture(argv, status, {{"DISPLAY", display_}});
}

std::optional<unsigned long> Desktop::findWindow(const std::string& title) const
{
    std::istringstream out(x({"xdotool", "search", "--onlyvisible", "--name", quoteForRegex(title)}));
    unsigned long id = 0;
    if (out >> id)
        return id;
    return std::nullopt;
}

bool Desktop::waitWindow(const std::string& title, Millis limit, unsigned long* id) const
{
    return waitUntil(
        [&] {
            auto w = findWindow(title);
            if (w && id)
                *id = *w;
            return w.has_value();
        },
        limit);
}

bool Desktop::waitWindowGone(const std::string& title, Millis limit) const
{
    return waitUntil([&] { return !findWindow(title); }, limit);
}

bool Desktop::windowSize(unsigned long id, int& width, int& height) const
{
    std::istringstream out(x({"xdotool", "getwindowgeometry", "--shell", std::to_string(id)}));
    width = height = 0;
    for (std::string line; std::getline(out, line);) {
        if (line.rfind("WIDTH=", 0) == 0)
            width = std::atoi(line.c_str() + 6);
        if (line.rfind("HEIGHT=", 0) == 0)
            height = std::atoi(line.c_str() + 7);
    }
    return width > 0 && height > 0;
}

void Desktop::click(unsigned long id, int px, int py) const
{
    x({"xdotool", "mousemove", "--window", std::to_string(id), std::to_string(px), std::to_string(py), "click", "1"});
}

void Desktop::key(const std::string& keys) const
{
    x({"xdotool", "key", "--clearmodifiers", keys});
}

bool Desktop::screenshot(const std::string& pngPath) const
{
    // The desktop has no wallpaper: trimming the black leaves the windows.
    const std::string whole = pngPath + ".whole.png";
    int st = -1;
    x({"import", "-window", "root", whole}, &st);
    if (st == 0)
        runCapture({"convert", whole, "-trim", "+repage", pngPath}, &st);
    std::remove(whole.c_str());
    return st == 0;
}

// ---- Tarvex state

int TarvexState::indexOf(const std::string& entry) const
{
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i] == entry)
            return int(i);
    return -1;
}

std::string TarvexState::describe() const
{
    std::ostringstream o;
    o << "caption=\"" << caption << "\" refresh=" << refresh << " enabled=" << enabled << " selected=" << selected
      << " entries=[";
    for (size_t i = 0; i < entries.size(); ++i)
        o << (i ? ", " : "") << '"' << entries[i] << '"';
    o << "] messages=[";
    for (size_t i = 0; i < messages.size(); ++i)
        o << (i ? ", " : "") << '"' << messages[i] << '"';
    o << "]";
    return o.str();
}

TarvexState parseTarvexState(const std::string& text)
{
    TarvexState s;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string k = line.substr(0, eq), v = line.substr(eq + 1);
        if (k == "caption")
            s.caption = v;
        else if (k == "refresh")
            s.refresh = v == "1";
        else if (k == "enabled")
            s.enabled = v == "1";
        else if (k == "selected")
            s.selected = std::atoi(v.c_str());
        else if (k == "entry")
            s.entries.push_back(v);
        else if (k == "message")
            s.messages.push_back(v);
        else if (k == "writes") {
            s.writes = std::atol(v.c_str());
            s.valid = true; // the last line: the file is whole
        }
    }
    return s;
}

// ---- TarvexApp

TarvexApp::TarvexApp(const Desktop& desktop, const std::string& workDir, const Options& options)
    : desktop_(desktop), stateFile_(workDir + "/tarvex.state"), logFile_(workDir + "/tarvex.log")
{
    std::map<std::string, std::string> env{
        {"DISPLAY", desktop.display()},
        {"QT_QPA_PLATFORM", "xcb"},
        {"TARVEX_STATE_FILE", stateFile_},
        {"ZN480_DEV_DIR", options.deviceDir},
        {"PCSCLITE_CSOCK_NAME", options.pcscSocket},
    };
    std::vector<std::string> argv{options.program};
    if (!options.umockdevDir.empty()) {
        env["UMOCKDEV_DIR"] = options.umockdevDir;
        argv.insert(argv.begin(), "umockdev-wrapper");
    }
    argv.insert(argv.begin(), options.launcher.begin(), options.launcher.end());
    for (const auto& [k, v] : options.env)
        env[k] = v;
    if (!options.stateFileForProgram.empty())
        env["TARVEX_STATE_FILE"] = options.stateFileForProgram;
    if (!process_.start(argv, env, logFile_)) {
        error_ = "cannot start " + options.program;
        return;
    }
    if (!desktop_.waitWindow(kMainTitle, options.startLimit, &window_)
        || !waitState([](const TarvexState& s) { return s.valid; }, Millis(5000))) {
        error_ = "no main window; program output:\n" + log();
        return;
    }
    ok_ = true;
}

TarvexState TarvexApp::state() const
{
    return parseTarvexState(readFile(stateFile_));
}

bool TarvexApp::waitState(const std::function<bool(const TarvexState&)>& done, Millis limit) const
{
    return waitUntil([&] { return done(state()); }, limit);
}

std::string TarvexApp::log() const
{
    return readFile(logFile_);
}

bool TarvexApp::selectEntry(const std::string& entry)
{
    int w = 0, h = 0;
    if (!desktop_.windowSize(window_, w, h))
        return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Clicks on a locked window are lost: wait for a scan cycle to end.
        if (!waitState([&](const TarvexState& s) { return s.enabled && s.has(entry); }, Millis(15000)))
            return false;
        const int index = state().indexOf(entry);
        // A click on the first row, then the arrow keys: rows are as tall as
        // the font makes them, the first one always starts at the top.
        desktop_.click(window_, scale(kListTw.left + kListTw.width / 2, w, kMainClientWidthTw),
            scale(kListTw.top, w, kMainClientWidthTw) + 7);
        for (int i = 0; i < index; ++i)
            desktop_.key("Down");
        if (waitState(
                [&](const TarvexState& s) {
                    return s.selected >= 0 && size_t(s.selected) < s.entries.size()
                        && s.entries[size_t(s.selected)] == entry;
                },
                Millis(2000)))
            return true;
    }
    return false;
}

void TarvexApp::clickButton(Button b)
{
    const TwipsRect r = b == Button::CCID ? kCcidButtonTw : b == Button::CDC ? kCdcButtonTw : kHidButtonTw;
    int w = 0, h = 0;
    desktop_.windowSize(window_, w, h);
    lastClick_ = std::chrono::steady_clock::now();
    desktop_.click(window_, scale(r.left + r.width / 2, w, kMainClientWidthTw),
        scale(r.top + r.height / 2, w, kMainClientWidthTw));
}

bool TarvexApp::startCommand(const std::string& entry, Button b, const std::string& dialogTitle)
{
    const size_t messages = state().messages.size();
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!selectEntry(entry))
            return false;
        clickButton(b);
        const bool started = waitUntil(
            [&] {
                if (!dialogTitle.empty())
                    return desktop_.findWindow(dialogTitle).has_value();
                const TarvexState s = state();
                return s.valid && (!s.has(entry) || s.messages.size() > messages);
            },
            Millis(4000));
        if (started)
            return true;
    }
    return false;
}

bool TarvexApp::answerDialog(
    const std::string& title, int clientWidthTw, const std::vector<TwipsRect>& clicks, Millis limit)
{
    unsigned long id = 0;
    int w = 0, h = 0;
    if (!desktop_.waitWindow(title, limit, &id) || !desktop_.windowSize(id, w, h))
        return false;
    // Option buttons and check boxes react to a click on their indicator and
    // on their caption; a point near the left end hits either.
    for (const TwipsRect& r : clicks)
        desktop_.click(id, scale(r.left + std::min(150, r.width / 2), w, clientWidthTw),
            scale(r.top + r.height / 2, w, clientWidthTw));
    desktop_.click(id, scale(kDialogOkTw.left + kDialogOkTw.width / 2, w, clientWidthTw),
        scale(kDialogOkTw.top + kDialogOkTw.height / 2, w, clientWidthTw));
    return desktop_.waitWindowGone(title, Millis(5000));
}

std::optional<std::string> TarvexApp::answerMessage(
    size_t ordinal, Millis limit, const std::function<void()>& beforeAnswer)
{
    if (!waitState([&](const TarvexState& s) { return s.messages.size() > ordinal; }, limit))
        return std::nullopt;
    const std::string text = state().messages[ordinal];
    unsigned long id = 0;
    if (!desktop_.waitWindow(kMessageTitle, Millis(5000), &id))
        return std::nullopt;
    // The box takes the focus when it opens; make sure before typing.
    desktop_.x({"xdotool", "windowactivate", std::to_string(id)});
    waitUntil([&] { return desktop_.x({"xdotool", "getactivewindow"}).find(std::to_string(id)) == 0; }, Millis(2000));
    if (beforeAnswer)
        beforeAnswer();
    desktop_.key("Return");
    if (!desktop_.waitWindowGone(kMessageTitle, Millis(5000)))
        return std::nullopt;
    return text;
}

// ---- SimPcscd

SimPcscd::SimPcscd(const std::string& workDir, std::string readerName)
    : dir(workDir + "/pcscd"), name(std::move(readerName))
{
    int status = -1;
    const std::string out = runCapture({"sh", PRIVATE_PCSCD_SCRIPT, "-F"}, &status);
    if (status == 0)
        port = std::atoi(out.c_str());
}

std::string SimPcscd::service() const
{
    return std::string("exec sh '") + PRIVATE_PCSCD_SCRIPT + "' -N '" + name + "' -D '" + dir + "' -p "
        + std::to_string(port) + " >>'" + dir + ".out' 2>&1";
}

// ---- SimReader

SimReader::SimReader(const std::string& workDir, const Options& o)
    : logFile_(workDir + "/sim-exchanges.log"), outFile_(workDir + "/sim.out")
{
    std::vector<std::string> argv{o.program, "--log", logFile_, "--serial", o.serial, "--personality", o.personality};
    if (!o.cdcLink.empty())
        argv.insert(argv.end(), {"--cdc-link", o.cdcLink});
    if (o.vpcdPort)
        argv.insert(argv.end(), {"--vpcd-port", std::to_string(o.vpcdPort)});
    if (!o.ccidService.empty())
        argv.insert(argv.end(), {"--ccid-service", o.ccidService});
    testbedFile_ = o.hidTestbed;
    if (!o.hidTestbed.empty()) {
        argv.insert(argv.end(), {"--hid-testbed", o.hidTestbed});
        // umockdev sends a testbed's uevents only from under its preload:
        // so that Tarvex's udev monitor sees the keyboard come and go.
        argv.insert(argv.begin(), "umockdev-wrapper");
    }
    if (!o.display.empty())
        argv.insert(argv.end(), {"--led-display", o.display});
    if (!process_.start(argv, {}, outFile_))
        return;
    ok_ = waitOutput("now ", Millis(10000));
}

std::vector<std::string> SimReader::commands() const
{
    std::vector<std::string> r;
    std::istringstream in(readFile(logFile_));
    for (std::string line; std::getline(in, line);) {
        const size_t arrow = line.find(" -> ");
        if (arrow != std::string::npos)
            r.push_back(line.substr(0, arrow));
    }
    return r;
}

std::string SimReader::testbedDir() const
{
    if (testbedFile_.empty())
        return {};
    std::string dir = readFile(testbedFile_);
    while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r'))
        dir.pop_back();
    if (!dir.empty())
        return dir;
    // The simulator also names the folder in its first lines.
    const std::string out = output();
    const std::string tag = "HID testbed ";
    const size_t at = out.find(tag);
    if (at == std::string::npos)
        return {};
    const size_t end = out.find_first_of(" \n", at + tag.size());
    return out.substr(at + tag.size(), end == std::string::npos ? std::string::npos : end - at - tag.size());
}

std::string SimReader::output() const
{
    return readFile(outFile_);
}

bool SimReader::waitOutput(const std::string& text, Millis limit) const
{
    return waitUntil([&] { return output().find(text) != std::string::npos; }, limit);
}

} // namespace zn480e2e
