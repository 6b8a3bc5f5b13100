#include "sim_control.h"

#include <cstdio>

namespace wintest {

SimControl::SimControl(int port)
{
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    handle_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
        return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle_, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(handle_, &dcb);
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(handle_, &t);
}

SimControl::~SimControl()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

std::string SimControl::command(const std::string& line)
{
    if (handle_ == INVALID_HANDLE_VALUE)
        return "err no control line";
    const std::string out = line + "\n";
    DWORD written = 0;
    if (!WriteFile(handle_, out.data(), DWORD(out.size()), &written, nullptr) || written != out.size())
        return "err write";
    std::string answer;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 10000) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(handle_, &c, 1, &got, nullptr))
            return "err read";
        if (got == 0) {
            Sleep(1);
            continue;
        }
        if (c == '\n')
            return answer;
        answer.push_back(c);
    }
    return "err timeout";
}

} // namespace wintest
