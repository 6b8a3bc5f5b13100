// kbflash.exe under Wine: its console output, its exit status and the key
// taps it synthesises, watched through a low-level keyboard hook; afterwards
// the lock keys must be as they were before.
#include "wine_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_mutex;
std::vector<DWORD> g_downs; // virtual keys of every key-down seen, in order
int g_ups = 0;

LRESULT CALLBACK onKey(int code, WPARAM message, LPARAM data)
{
    if (code == HC_ACTION) {
        const auto* k = reinterpret_cast<const KBDLLHOOKSTRUCT*>(data);
        if (k->vkCode == VK_CAPITAL || k->vkCode == VK_NUMLOCK || k->vkCode == VK_SCROLL) {
            std::lock_guard lock(g_mutex);
            if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN)
                g_downs.push_back(k->vkCode);
            else
                ++g_ups;
        }
    }
    return CallNextHookEx(nullptr, code, message, data);
}

// The hook runs on a thread that pumps messages, as low-level hooks need.
class KeyRecorder {
public:
    KeyRecorder()
    {
        thread_ = std::thread([this] {
            HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, onKey, GetModuleHandleA(nullptr), 0);
            threadId_ = GetCurrentThreadId();
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // make the queue
            ready_ = hook != nullptr ? 1 : -1;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) { }
            if (hook)
                UnhookWindowsHookEx(hook);
        });
        while (ready_ == 0)
            Sleep(1);
    }
    ~KeyRecorder()
    {
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    bool ok() const { return ready_ == 1; }

private:
    std::thread thread_;
    volatile DWORD threadId_ = 0;
    volatile int ready_ = 0;
};

void tap(BYTE vk)
{
    keybd_event(vk, 0, 0, 0);
    keybd_event(vk, 0, KEYEVENTF_KEYUP, 0);
}

// The taps the pattern makes for a given start state of Scroll, Caps, Num.
std::vector<DWORD> expectedTaps(bool scroll, bool caps, bool num)
{
    std::vector<DWORD> t;
    if (scroll)
        t.push_back(VK_SCROLL);
    if (caps)
        t.push_back(VK_CAPITAL);
    if (num)
        t.push_back(VK_NUMLOCK);
    t.insert(t.end(), {VK_CAPITAL, VK_NUMLOCK, VK_SCROLL, VK_SCROLL});
    t.insert(t.end(), 100, VK_CAPITAL);
    if (scroll)
        t.push_back(VK_SCROLL);
    if (!caps)
        t.push_back(VK_CAPITAL);
    if (!num)
        t.push_back(VK_NUMLOCK);
    return t;
}

struct RunResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

// Runs kbflash.exe from this program's folder with its output on a pipe.
RunResult runKbflash()
{
    RunResult result;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0))
        return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::string path = wintest::programFolder() + "\\kbflash.exe";
    std::string line = "\"" + path + "\"";
    const BOOL started
        = CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return result;
    }
    char buf[256];
    DWORD got = 0;
    while (ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0)
        result.output.append(buf, got);
    CloseHandle(readEnd);
    WaitForSingleObject(pi.hProcess, 60000);
    GetExitCodeProcess(pi.hProcess, &result.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

bool toggled(int vk)
{
    return (GetKeyState(vk) & 1) != 0;
}

// Reads this thread's lock states after letting queued input through.
void syncKeyState()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) { }
}

struct Observed {
    bool caps = false, num = false, scroll = false; // before the run
    bool capsAfter = false, numAfter = false, scrollAfter = false;
    RunResult run;
    std::vector<DWORD> downs;
    int ups = 0;
    bool hooked = false;
};

// One real run (about 5 s) serves every check below.
const Observed& observeRun()
{
    static const Observed observed = [] {
        Observed o;
        KeyRecorder recorder;
        o.hooked = recorder.ok();
        if (!o.hooked)
            return o;
        // Start with Caps Lock on and the others off, as a user might have it.
        syncKeyState();
        if (toggled(VK_SCROLL))
            tap(VK_SCROLL);
        if (toggled(VK_NUMLOCK))
            tap(VK_NUMLOCK);
        if (!toggled(VK_CAPITAL))
            tap(VK_CAPITAL);
        Sleep(100);
        syncKeyState();
        o.caps = toggled(VK_CAPITAL);
        o.num = toggled(VK_NUMLOCK);
        o.scroll = toggled(VK_SCROLL);
        {
            std::lock_guard lock(g_mutex);
            g_downs.clear();
            g_ups = 0;
        }
        o.run = runKbflash();
        Sleep(200); // the hook thread sees the last taps a moment later
        {
            std::lock_guard lock(g_mutex);
            o.downs = g_downs;
            o.ups = g_ups;
        }
        syncKeyState();
        o.capsAfter = toggled(VK_CAPITAL);
        o.numAfter = toggled(VK_NUMLOCK);
        o.scrollAfter = toggled(VK_SCROLL);
        return o;
    }();
    return observed;
}

TEST(KbflashUnderWine, PlaysThePatternAndRestoresTheLockKeys)
{
    const Observed& o = observeRun();
    ASSERT_TRUE(o.hooked) << "no low-level keyboard hook";
    EXPECT_EQ(o.run.exitCode, 0u);
    EXPECT_EQ(o.run.output, "Wait...\r\nOK.\r\n");

    // The pattern's shape, whichever start kbflash read (that it reads ours
    // is the next test), and every key back as it was.
    EXPECT_TRUE(o.downs == expectedTaps(o.scroll, o.caps, o.num) || o.downs == expectedTaps(false, false, false))
        << "unexpected tap sequence of " << o.downs.size() << " taps";
    EXPECT_EQ(o.ups, int(o.downs.size())) << "every press is released";
    EXPECT_TRUE(o.caps);
    EXPECT_EQ(o.capsAfter, o.caps);
    EXPECT_EQ(o.numAfter, o.num);
    EXPECT_EQ(o.scrollAfter, o.scroll);
}

// kbflash must start from the lock states its caller has (Caps Lock on
// here), not from a fresh process's own key state, which under Wine starts
// all off: the first taps turn Caps Lock off, and the last turn it back on.
TEST(KbflashUnderWine, SeesTheCallersLockStates)
{
    const Observed& o = observeRun();
    ASSERT_TRUE(o.hooked) << "no low-level keyboard hook";
    ASSERT_TRUE(o.caps && !o.num && !o.scroll);
    EXPECT_EQ(o.downs, expectedTaps(o.scroll, o.caps, o.num));
}

} // namespace
