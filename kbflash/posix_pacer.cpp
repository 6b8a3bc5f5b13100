#include "posix_pacer.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace kbflash {
namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void onStopSignal(int sig)
{
    g_stopSignal = sig;
}

} // namespace

void installStopHandlers()
{
    struct sigaction sa { };
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a pending sleep must wake up
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);
    // Output nobody reads must not kill the tool halfway through the pattern.
    std::signal(SIGPIPE, SIG_IGN);
}

void sleepShort(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR && !g_stopSignal) { }
}

bool sleepUnlessStopped(unsigned ms)
{
    if (g_stopSignal)
        return false;
    // An absolute deadline, so that signals which do not stop the tool
    // cannot stretch the pause.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (g_stopSignal)
            return false;
        if (rc != EINTR)
            return true;
    }
}

void writeOut(std::string_view text)
{
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

int interruptedExitStatus()
{
    return 128 + (g_stopSignal ? static_cast<int>(g_stopSignal) : SIGTERM);
}

} // namespace kbflash
