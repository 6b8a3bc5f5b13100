#include "xkb_observer.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace xtest_support {
namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

int decodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Child spawn(const std::string& program, const std::optional<std::string>& display)
{
    int o[2], e[2];
    if (pipe(o) != 0)
        return {};
    if (pipe(e) != 0) {
        close(o[0]);
        close(o[1]);
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(o[1], STDOUT_FILENO);
        dup2(e[1], STDERR_FILENO);
        close(o[0]);
        close(o[1]);
        close(e[0]);
        close(e[1]);
        if (display)
            setenv("DISPLAY", display->c_str(), 1);
        else
            unsetenv("DISPLAY");
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(o[1]);
    close(e[1]);
    if (pid < 0) {
        close(o[0]);
        close(e[0]);
        return {};
    }
    return {pid, o[0], e[0]};
}

// Reads what is available; returns false at end of file.
bool drain(int fd, std::string& into)
{
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && errno == EINTR;
}

// Runs the child to its end while `idle` is called between waits (with the
// poll set extended by `extraFd` when >= 0).
ObservedRun superviseChild(Child child, int extraFd, int timeoutMs, const std::function<void()>& onExtraReadable)
{
    ObservedRun run;
    const auto t0 = Clock::now();
    bool outOpen = true, errOpen = true, exited = false;
    int status = 0;
    while (!exited) {
        if (msSince(t0) > timeoutMs) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            run.err += "[killed after time-out]";
            break;
        }
        pollfd fds[3];
        nfds_t n = 0;
        if (extraFd >= 0)
            fds[n++] = {extraFd, POLLIN, 0};
        const nfds_t pipeStart = n;
        if (outOpen)
            fds[n++] = {child.out, POLLIN, 0};
        if (errOpen)
            fds[n++] = {child.err, POLLIN, 0};
        poll(fds, n, (outOpen || errOpen) ? 100 : 5);
        if (onExtraReadable)
            onExtraReadable();
        for (nfds_t i = pipeStart; i < n; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (fds[i].fd == child.out)
                outOpen = drain(child.out, run.out);
            else
                errOpen = drain(child.err, run.err);
        }
        if (!outOpen && !errOpen) {
            const pid_t r = waitpid(child.pid, &status, WNOHANG);
            exited = r == child.pid;
        }
    }
    close(child.out);
    close(child.err);
    run.exitStatus = decodeStatus(status);
    return run;
}

// Takes every queued XKB indicator event off the connection and hands each
// one that changed a lock-key LED (Caps, Num, Scroll at `index`) to `onChange`.
template <class OnChange>
void takeIndicatorChanges(
    Display* dpy, int evBase, const int (&index)[3], unsigned& lastBits, Clock::time_point t0, OnChange&& onChange)
{
    auto bit = [&](unsigned bits, int i) { return index[i] >= 0 && (bits >> index[i]) & 1u; };
    while (XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type != evBase)
            continue;
        const auto* xkb = reinterpret_cast<const XkbEvent*>(&ev);
        if (xkb->any.xkb_type != XkbIndicatorStateNotify)
            continue;
        const unsigned bits = xkb->indicators.state;
        LedChange c;
        c.ms = msSince(t0);
        c.state = {bit(bits, 0), bit(bits, 1), bit(bits, 2)};
        for (int i = 0; i < 3; ++i)
            if (bit(bits, i) != bit(lastBits, i))
                c.which |= 1u << i;
        lastBits = bits;
        if (c.which != 0)
            onChange(c);
    }
}

} // namespace

LockProbe::LockProbe(const std::string& display) : name_(display)
{
    dpy_ = XOpenDisplay(display.c_str());
    if (!dpy_)
        return;
    int op = 0, ev = 0, er = 0, ma = XkbMajorVersion, mi = XkbMinorVersion;
    if (!XkbQueryExtension(dpy_, &op, &ev, &er, &ma, &mi)) {
        XCloseDisplay(dpy_);
        dpy_ = nullptr;
    }
}

LockProbe::~LockProbe()
{
    if (dpy_)
        XCloseDisplay(dpy_);
}

static bool named(Display* d, const char* name)
{
    int ndx = 0;
    Bool on = False;
    XkbGetNamedIndicator(d, XInternAtom(d, name, False), &ndx, &on, nullptr, nullptr);
    return on;
}

LedState LockProbe::leds()
{
    return {named(dpy_, "Caps Lock"), named(dpy_, "Num Lock"), named(dpy_, "Scroll Lock")};
}

unsigned LockProbe::lockedMods()
{
    XkbStateRec s{};
    XkbGetState(dpy_, XkbUseCoreKbd, &s);
    return s.locked_mods;
}

void LockProbe::tapKeysym(unsigned long keysym)
{
    const KeyCode k = XKeysymToKeycode(dpy_, keysym);
    XTestFakeKeyEvent(dpy_, k, True, CurrentTime);
    XTestFakeKeyEvent(dpy_, k, False, CurrentTime);
    XSync(dpy_, False);
}

void LockProbe::setLeds(const LedState& want)
{
    const LedState now = leds();
    if (now.caps != want.caps)
        tapKeysym(XK_Caps_Lock);
    if (now.num != want.num)
        tapKeysym(XK_Num_Lock);
    if (now.scroll != want.scroll)
        tapKeysym(XK_Scroll_Lock);
}

bool LockProbe::bindScrollLock()
{
    XModifierKeymap* map = XGetModifierMapping(dpy_);
    map = XInsertModifiermapEntry(map, XKeysymToKeycode(dpy_, XK_Scroll_Lock), Mod3MapIndex);
    const bool ok = XSetModifierMapping(dpy_, map) == MappingSuccess;
    XFreeModifiermap(map);
    XSync(dpy_, False);
    return ok;
}

bool LockProbe::occupyFreeModifiers()
{
    XModifierKeymap* map = XGetModifierMapping(dpy_);
    KeyCode spare = XKeysymToKeycode(dpy_, XK_F24);
    if (spare == 0)
        spare = 255;
    for (int row = Mod1MapIndex; row <= Mod5MapIndex; ++row) {
        bool empty = true;
        for (int j = 0; j < map->max_keypermod; ++j)
            empty = empty && map->modifiermap[row * map->max_keypermod + j] == 0;
        if (empty)
            map = XInsertModifiermapEntry(map, spare, row);
    }
    const bool ok = XSetModifierMapping(dpy_, map) == MappingSuccess;
    XFreeModifiermap(map);
    XSync(dpy_, False);
    return ok;
}

std::string LockProbe::modifierMap()
{
    XModifierKeymap* map = XGetModifierMapping(dpy_);
    std::string bytes(reinterpret_cast<const char*>(map->modifiermap), 8u * map->max_keypermod);
    XFreeModifiermap(map);
    return bytes;
}

std::string LockProbe::keymapDump()
{
    const std::string cmd = "xkbcomp -xkb " + name_ + " - 2>/dev/null";
    std::string text;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            text.append(buf, n);
        pclose(p);
    }
    return text;
}

ObservedRun observeRun(const std::string& display, const std::string& program,
    const std::function<void(pid_t, const std::vector<LedChange>&)>& onChange, int timeoutMs)
{
    ObservedRun failed;
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy) {
        failed.err = "observer: cannot open display";
        return failed;
    }
    int op = 0, evBase = 0, er = 0, ma = XkbMajorVersion, mi = XkbMinorVersion;
    XkbQueryExtension(dpy, &op, &evBase, &er, &ma, &mi);
    int index[3] = {-1, -1, -1};
    const char* names[3] = {"Caps Lock", "Num Lock", "Scroll Lock"};
    for (int i = 0; i < 3; ++i) {
        Bool on = False;
        XkbGetNamedIndicator(dpy, XInternAtom(dpy, names[i], False), &index[i], &on, nullptr, nullptr);
    }
    XkbSelectEvents(dpy, XkbUseCoreKbd, XkbIndicatorStateNotifyMask, XkbIndicatorStateNotifyMask);
    unsigned lastBits = 0;
    XkbGetIndicatorState(dpy, XkbUseCoreKbd, &lastBits);
    XSync(dpy, False);

    const auto t0 = Clock::now();
    std::vector<LedChange> changes;
    Child child;
    auto pump = [&] {
        takeIndicatorChanges(dpy, evBase, index, lastBits, t0, [&](const LedChange& c) {
            changes.push_back(c);
            if (onChange)
                onChange(child.pid, changes);
        });
    };

    child = spawn(program, display);
    if (child.pid < 0) {
        XCloseDisplay(dpy);
        failed.err = "observer: cannot start program";
        return failed;
    }
    ObservedRun run = superviseChild(child, ConnectionNumber(dpy), timeoutMs, pump);
    // Everything the program asked of the server happened before it exited:
    // one round trip brings in the last events.
    XSync(dpy, False);
    pump();
    XCloseDisplay(dpy);
    run.changes = std::move(changes);
    return run;
}

struct IndicatorRecorder::State {
    Display* dpy = nullptr;
    int evBase = 0;
    int index[3] = {-1, -1, -1};
    unsigned lastBits = 0;
    Clock::time_point t0 = Clock::now();
    int stopPipe[2] = {-1, -1};
    std::mutex mu;
    std::vector<LedChange> changes;
    std::thread thread;

    void pump()
    {
        // The caller holds mu.
        takeIndicatorChanges(dpy, evBase, index, lastBits, t0, [&](const LedChange& c) { changes.push_back(c); });
    }
};

IndicatorRecorder::IndicatorRecorder(const std::string& display) : state_(new State)
{
    State& s = *state_;
    s.dpy = XOpenDisplay(display.c_str());
    if (!s.dpy || pipe(s.stopPipe) != 0)
        return;
    int op = 0, er = 0, ma = XkbMajorVersion, mi = XkbMinorVersion;
    if (!XkbQueryExtension(s.dpy, &op, &s.evBase, &er, &ma, &mi))
        return;
    const char* names[3] = {"Caps Lock", "Num Lock", "Scroll Lock"};
    for (int i = 0; i < 3; ++i) {
        Bool on = False;
        XkbGetNamedIndicator(s.dpy, XInternAtom(s.dpy, names[i], False), &s.index[i], &on, nullptr, nullptr);
    }
    XkbSelectEvents(s.dpy, XkbUseCoreKbd, XkbIndicatorStateNotifyMask, XkbIndicatorStateNotifyMask);
    XkbGetIndicatorState(s.dpy, XkbUseCoreKbd, &s.lastBits);
    XSync(s.dpy, False);
    ok_ = true;
    s.thread = std::thread([&s] {
        for (;;) {
            {
                std::lock_guard lk(s.mu);
                s.pump();
            }
            pollfd p[2] = {{ConnectionNumber(s.dpy), POLLIN, 0}, {s.stopPipe[0], POLLIN, 0}};
            if (poll(p, 2, 200) < 0 && errno != EINTR)
                return;
            if (p[1].revents)
                return;
        }
    });
}

IndicatorRecorder::~IndicatorRecorder()
{
    State& s = *state_;
    if (s.thread.joinable()) {
        (void)!write(s.stopPipe[1], "x", 1);
        s.thread.join();
    }
    for (int fd : s.stopPipe)
        if (fd >= 0)
            close(fd);
    if (s.dpy)
        XCloseDisplay(s.dpy);
    delete state_;
}

void IndicatorRecorder::sync()
{
    if (!ok_)
        return;
    std::lock_guard lk(state_->mu);
    XSync(state_->dpy, False);
    state_->pump();
}

std::vector<LedChange> IndicatorRecorder::changes()
{
    std::lock_guard lk(state_->mu);
    return state_->changes;
}

ObservedRun runPlain(const std::string& program, const std::optional<std::string>& display, int timeoutMs)
{
    const Child child = spawn(program, display);
    if (child.pid < 0) {
        ObservedRun failed;
        failed.err = "cannot start program";
        return failed;
    }
    return superviseChild(child, -1, timeoutMs, {});
}

} // namespace xtest_support
