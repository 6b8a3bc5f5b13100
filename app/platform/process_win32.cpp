// Starting the LED tool on Windows without a window, and not waiting for it.
#include "platform/process.h"

#include <windows.h>

#include <vector>

namespace tarvex {

namespace {

class Win32Launcher final : public ProcessLauncher {
public:
    bool startHidden(const std::string& path) override
    {
        if (path.empty())
            return false;
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION pi{};
        // The command line is only the quoted program path; CreateProcess
        // may write into it, so it must be a modifiable buffer.
        std::string cmd = "\"" + path + "\"";
        std::vector<char> line(cmd.begin(), cmd.end());
        line.push_back('\0');
        if (!CreateProcessA(
                path.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
            return false;
        // Nothing is read back from the tool: let go of both handles now.
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return true;
    }
};

} // namespace

std::unique_ptr<ProcessLauncher> makeSystemProcessLauncher()
{
    return std::make_unique<Win32Launcher>();
}

std::string programDir()
{
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, buf.data(), DWORD(buf.size()));
        if (n == 0)
            return {};
        if (n < buf.size()) {
            std::string exe(buf.data(), n);
            const size_t sep = exe.find_last_of("\\/");
            return sep == std::string::npos ? std::string() : exe.substr(0, sep);
        }
        if (buf.size() >= 32768)
            return {};
        buf.resize(buf.size() * 2); // truncated: try a bigger buffer
    }
}

std::string kbflashFileName()
{
    return "kbflash.exe";
}

void endProcessNow(int status)
{
    // Not ExitProcess: that runs every DLL's detach code after the other
    // threads are gone, and one of them may have died holding a lock that
    // code needs. Termination only waits for the system to take back what
    // the threads held (a serial write in a driver is cancelled).
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    for (;;)
        Sleep(INFINITE); // not reached: the call above does not return for our own process
}

} // namespace tarvex
