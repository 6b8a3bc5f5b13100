// Run-time libraries on Windows: never from the current folder or PATH,
// where a planted copy could sit.
#include "platform/dynlib.h"

#include <windows.h>

namespace tarvex {

namespace {

bool isFullPath(const std::string& p)
{
    // Drive-letter path ("C:\...") or UNC path ("\\server\...").
    return (p.size() > 2 && p[1] == ':' && (p[2] == '\\' || p[2] == '/'))
        || (p.size() > 2 && p[0] == '\\' && p[1] == '\\');
}

HMODULE module(void* handle)
{
    return static_cast<HMODULE>(handle);
}

} // namespace

DynamicLibrary DynamicLibrary::openFullPath(const std::string& path)
{
    if (!isFullPath(path))
        return DynamicLibrary();
    // Altered search path: the library's own dependencies are looked up
    // beside it, not in the current folder.
    return DynamicLibrary(LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

DynamicLibrary DynamicLibrary::openSystem(const char* fileName)
{
    HMODULE h = LoadLibraryExA(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!h) {
        // Systems without the search-flag update refuse the flag: name the
        // system folder explicitly instead.
        char dir[MAX_PATH];
        const UINT n = GetSystemDirectoryA(dir, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            const std::string path = std::string(dir, n) + "\\" + fileName;
            h = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
    return DynamicLibrary(h);
}

void* DynamicLibrary::symbol(const char* name) const
{
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(module(handle_), name)) : nullptr;
}

void DynamicLibrary::close()
{
    if (handle_)
        FreeLibrary(module(handle_));
    handle_ = nullptr;
}

} // namespace tarvex
