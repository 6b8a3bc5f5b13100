// The console's Ctrl-C and Ctrl-Break only note the request (see
// interrupts.h). Closing the console window, logging off and shutting down
// cannot be deferred for long (Windows ends the process after a few
// seconds), but noting them lets the reader in progress finish if it can.
#include "interrupts.h"

#include <windows.h>

namespace tarvexctl {

namespace {
BOOL WINAPI onConsoleControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        requestInterrupt();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        requestInterrupt();
        return FALSE;
    default:
        return FALSE;
    }
}
} // namespace

void installInterruptHandlers()
{
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

} // namespace tarvexctl
