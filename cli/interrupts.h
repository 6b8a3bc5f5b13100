// Ctrl-C and SIGTERM (on Windows the console's control events) never stop
// the tool on the spot: between a reader's accepted switch and its reboot
// command the reader would be left with a change pending. The handlers only
// note the request; the commands look at it where stopping is safe (before
// the next reader, in their waits) and end with the interrupted status once
// the reader in progress has been reported.
//
// A closed output pipe is the same kind of event: SIGPIPE is ignored, so a
// failed write shows as an error the console reports, not as a sudden death.
// One file per OS: interrupts_posix.cpp, interrupts_win32.cpp.
#pragma once

namespace tarvexctl {

// Installs the handlers (and ignores SIGPIPE). Once per process.
void installInterruptHandlers();

// Whether a stop was asked for. Safe from any thread.
bool interruptRequested();
// What the handlers call; tests call it to stop a run at a chosen moment.
void requestInterrupt();
void clearInterrupt();

} // namespace tarvexctl
