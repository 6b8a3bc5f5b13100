// Test and demo hook: when the environment variable TARVEX_STATE_FILE names a
// file, the main window's visible state is written there whenever it changes,
// so that scripts and end-to-end tests can read the device list from outside
// the process. Without the variable, or in a build that does not honour the
// test hooks (zn480/test_hooks.h: the installed packages), nothing is
// installed.
#pragma once

namespace tarvex {

class frmMain;

// Call once after the window is built. Returns true when the hook is active.
bool installStateFileHook(frmMain& window);

} // namespace tarvex
