// SIGINT and SIGTERM only note the request (see interrupts.h); SIGPIPE is
// ignored so that writes to a closed pipe fail with EPIPE instead.
#include "interrupts.h"

#include <csignal>

namespace tarvexctl {

namespace {
extern "C" void onStopSignal(int)
{
    requestInterrupt();
}
} // namespace

void installInterruptHandlers()
{
    struct sigaction stop { };
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    // No SA_RESTART: a wait that the signal cuts short returns early, and
    // the waits check the request after every wake-up anyway.
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

} // namespace tarvexctl
