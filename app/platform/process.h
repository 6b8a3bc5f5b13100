// Starting a helper program detached, with no visible window, and locating
// the folder of the running executable.
#pragma once
#include <memory>
#include <string>

namespace tarvex {

class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Starts `path` without waiting for it; false when it cannot be started.
    virtual bool startHidden(const std::string& path) = 0;
};

std::unique_ptr<ProcessLauncher> makeSystemProcessLauncher();

// Folder of the running executable, without a trailing separator.
std::string programDir();
// Path separator and the file name of the LED tool on this platform.
std::string kbflashFileName(); // "kbflash.exe" on Windows, "kbflash" on Linux
// The LED tool in `folder` (the program's own, programDir()). Empty when the
// folder is not known: the tool is then not started at all rather than
// looked for at the root of the file system ("/kbflash", "\\kbflash.exe")
// or in the current folder, as the library is not loaded from there either.
std::string kbflashPathIn(const std::string& folder);

// Ends this process at once with `status`, whatever its other threads are
// doing: no exit handlers, no library clean-up, no waiting for a thread
// that sits in a driver call. The system then closes every handle.
[[noreturn]] void endProcessNow(int status);

} // namespace tarvex
