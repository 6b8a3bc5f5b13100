// Started by the process test: a thread stuck for good in a read, an exit
// handler that would leave the file TARVEX_MARKER names, then
// endProcessNow(7). The test expects status 7 and no file.
#include "platform/process.h"

#include <windows.h>

#include <cstdlib>
#include <thread>

namespace {

char g_marker[MAX_PATH];

void leaveMarker()
{
    HANDLE h = CreateFileA(g_marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

} // namespace

int main()
{
    const DWORD n = GetEnvironmentVariableA("TARVEX_MARKER", g_marker, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    std::atexit(leaveMarker);
    // A pipe whose writer never writes: the read waits in the system for ever.
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0))
        return 1;
    std::thread([readEnd] {
        char c = 0;
        DWORD got = 0;
        ReadFile(readEnd, &c, 1, &got, nullptr);
    }).detach();
    Sleep(100); // the reader is in its read by now
    tarvex::endProcessNow(7);
}
