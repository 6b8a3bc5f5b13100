#include "wine_env.h"

#include <windows.h>

namespace wintest {

std::string programFolder()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n < MAX_PATH ? n : 0);
    const size_t sep = s.find_last_of("\\/");
    return sep == std::string::npos ? std::string() : s.substr(0, sep);
}

} // namespace wintest
