// Lock keys on Windows: GetKeyState's low bit is a key's toggle state and
// keybd_event synthesises the taps, which Windows forwards to every keyboard
// as LED changes.
#include "lock_keys.h"

#include <windows.h>

namespace kbflash {
namespace {

// Set when the console asks the tool to stop (Ctrl+C, window closed, log
// off), so the pattern can restore the lock keys before the process ends.
HANDLE g_stopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD)
{
    if (g_stopEvent)
        SetEvent(g_stopEvent);
    // Give the main thread time to put the keys back; Windows ends the
    // process when this handler returns for a close event.
    Sleep(500);
    return TRUE;
}

BYTE virtualKey(Key key)
{
    switch (key) {
    case Key::Caps:
        return VK_CAPITAL; // 0x14
    case Key::Num:
        return VK_NUMLOCK; // 0x90
    case Key::Scroll:
        return VK_SCROLL; // 0x91
    }
    return 0;
}

class Win32LockKeys final : public LockKeys {
public:
    Win32LockKeys() { out_ = GetStdHandle(STD_OUTPUT_HANDLE); }

    // GetKeyState gives this thread's view of the lock states. Under Wine a
    // new process's view starts with every toggle off and only follows the
    // keys that change after it began, so the states its caller set before
    // starting it would read as off. Asking for a key's asynchronous state
    // first clears its "pressed since last asked" mark, a change that brings
    // the key's real toggle into the view. On Windows the view already holds
    // it and the extra call changes nothing that the pattern reads.
    bool getToggle(Key key) override
    {
        const BYTE vk = virtualKey(key);
        (void)GetAsyncKeyState(vk);
        return (GetKeyState(vk) & 1) != 0;
    }

    void tap(Key key) override
    {
        const BYTE vk = virtualKey(key);
        keybd_event(vk, 0, 0, 0);
        keybd_event(vk, 0, KEYEVENTF_KEYUP, 0);
    }

    bool sleepMs(unsigned ms) override
    {
        if (!g_stopEvent) {
            Sleep(ms);
            return true;
        }
        return WaitForSingleObject(g_stopEvent, ms) == WAIT_TIMEOUT;
    }

    void write(std::string_view text) override
    {
        // WriteFile, not the C runtime: its text mode would turn "\r\n"
        // into "\r\r\n". A hidden start may have no console at all.
        if (out_ == nullptr || out_ == INVALID_HANDLE_VALUE)
            return;
        DWORD written = 0;
        WriteFile(out_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

private:
    HANDLE out_ = nullptr;
};

} // namespace

std::unique_ptr<LockKeys> openLockKeys(std::string&)
{
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    return std::make_unique<Win32LockKeys>();
}

int interruptedExitStatus()
{
    return 3;
}

} // namespace kbflash
