// Started by the process test: proves it ran by creating the file that the
// environment variable TARVEX_MARKER names (it inherits the parent's
// environment; the launcher passes no arguments).
#include <windows.h>

int main()
{
    char path[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("TARVEX_MARKER", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(h);
    return 0;
}
