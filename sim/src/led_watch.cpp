#include "led_watch.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zn480sim {

// ---- LedPattern

void LedPattern::restart(const Leds& s)
{
    count_ = 0;
    stage_ = (s.caps && s.num && s.scroll) ? Stage::AllOn : Stage::Idle;
}

bool LedPattern::feed(const Leds& s, int64_t ms)
{
    if (haveLast_ && s == last_)
        return false; // a repeated report is no change
    const bool late = haveLast_ && ms - lastMs_ > maxGapMs_;
    haveLast_ = true;
    last_ = s;
    lastMs_ = ms;
    if (late && stage_ != Stage::Idle)
        stage_ = Stage::Idle;

    switch (stage_) {
    case Stage::Idle:
        restart(s);
        return false;
    case Stage::AllOn:
        if (s.caps && s.num && !s.scroll) {
            stage_ = Stage::Blinking;
            count_ = 0;
        } else {
            restart(s);
        }
        return false;
    case Stage::Blinking:
        if (!s.num || s.scroll) {
            restart(s);
            return false;
        }
        // Only Caps Lock can have changed here: Num is on, Scroll off, and
        // the state differs from the last one.
        if (++count_ >= toggles_) {
            stage_ = Stage::Idle;
            count_ = 0;
            return true;
        }
        return false;
    }
    return false;
}

// ---- LedWatch

namespace {

struct Indicators {
    int caps = -1, num = -1, scroll = -1; // indicator index by name
};

Indicators findIndicators(Display* dpy)
{
    Indicators ind;
    const char* names[3] = {"Caps Lock", "Num Lock", "Scroll Lock"};
    int* slots[3] = {&ind.caps, &ind.num, &ind.scroll};
    for (int i = 0; i < 3; ++i) {
        Atom a = XInternAtom(dpy, names[i], True);
        int ndx = -1;
        Bool on = False;
        if (a != None && XkbGetNamedIndicator(dpy, a, &ndx, &on, nullptr, nullptr))
            *slots[i] = ndx;
    }
    return ind;
}

Leds decode(const Indicators& ind, unsigned state)
{
    auto bit = [&](int ndx) { return ndx >= 0 && (state >> ndx) & 1u; };
    return {bit(ind.caps), bit(ind.num), bit(ind.scroll)};
}

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

LedWatch::~LedWatch()
{
    stop();
}

bool LedWatch::start(const std::string& display, std::function<void()> onPattern, std::string& error)
{
    stop();
    int major = XkbMajorVersion, minor = XkbMinorVersion, reason = 0, event = 0, err = 0, op = 0;
    Display* dpy = XkbOpenDisplay(display.empty() ? nullptr : display.c_str(), &event, &err, &major, &minor, &reason);
    if (!dpy) {
        error = "cannot open display " + (display.empty() ? std::string("$DISPLAY") : display) + " with XKB";
        return false;
    }
    (void)op;
    if (!XkbSelectEvents(dpy, XkbUseCoreKbd, XkbIndicatorStateNotifyMask, XkbIndicatorStateNotifyMask)) {
        XCloseDisplay(dpy);
        error = "cannot select XKB indicator events";
        return false;
    }
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        XCloseDisplay(dpy);
        error = "pipe failed";
        return false;
    }
    onPattern_ = std::move(onPattern);
    thread_ = std::thread([this, dpy] { run(dpy); });
    return true;
}

void LedWatch::stop()
{
    if (thread_.joinable()) {
        (void)!::write(stopPipe_[1], "x", 1);
        thread_.join();
    }
    for (int& fd : stopPipe_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void LedWatch::run(void* handle)
{
    Display* dpy = static_cast<Display*>(handle);
    int xkbEvent = 0, err = 0, major = XkbMajorVersion, minor = XkbMinorVersion, op = 0;
    XkbQueryExtension(dpy, &op, &xkbEvent, &err, &major, &minor);
    const Indicators ind = findIndicators(dpy);
    LedPattern pattern;
    unsigned state = 0;
    if (XkbGetIndicatorState(dpy, XkbUseCoreKbd, &state) == Success)
        pattern.feed(decode(ind, state), nowMs());

    // Poll before every read: Xlib ends the process when it reads from a
    // connection that has gone, and a vanished display must only end the watch.
    const int xfd = ConnectionNumber(dpy);
    for (;;) {
        while (XQLength(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type != xkbEvent)
                continue;
            auto* xkb = reinterpret_cast<XkbEvent*>(&ev);
            if (xkb->any.xkb_type != XkbIndicatorStateNotify)
                continue;
            if (pattern.feed(decode(ind, xkb->indicators.state), nowMs()) && onPattern_)
                onPattern_();
        }
        pollfd p[2] = {{xfd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[1].revents)
            break;
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break; // the display went away: nothing more to watch
        if (p[0].revents & POLLIN)
            XEventsQueued(dpy, QueuedAfterReading);
    }
    XCloseDisplay(dpy);
}

} // namespace zn480sim
