#include "import_hook.h"

#include <cstring>
#include <mutex>

namespace wintest {

namespace {

std::atomic<long> g_calls{0};
decltype(&ClearCommError) g_clear = nullptr;
decltype(&ReadFile) g_read = nullptr;

BOOL WINAPI countedClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status)
{
    ++g_calls;
    return g_clear(file, errors, status);
}

BOOL WINAPI countedReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped)
{
    ++g_calls;
    return g_read(file, buffer, length, read, overlapped);
}

// The import address table slot through which `module` calls `function` of
// KERNEL32.dll; nullptr when it has none.
void** importSlot(HMODULE module, const char* function)
{
    auto* base = reinterpret_cast<uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress)
        return nullptr;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
        if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), "kernel32.dll") != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return nullptr;
}

void* exchange(void** slot, void* value)
{
    DWORD old = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    void* previous = *slot;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return previous;
}

} // namespace

PortCallCounter::PortCallCounter(HMODULE module) : module_(module)
{
    if (!module_)
        return;
    clearSlot_ = importSlot(module_, "ClearCommError");
    readSlot_ = importSlot(module_, "ReadFile");
    if (clearSlot_)
        g_clear = reinterpret_cast<decltype(g_clear)>(
            exchange(clearSlot_, reinterpret_cast<void*>(&countedClearCommError)));
    if (readSlot_)
        g_read = reinterpret_cast<decltype(g_read)>(exchange(readSlot_, reinterpret_cast<void*>(&countedReadFile)));
    g_calls = 0;
}

PortCallCounter::~PortCallCounter()
{
    if (clearSlot_)
        exchange(clearSlot_, reinterpret_cast<void*>(g_clear));
    if (readSlot_)
        exchange(readSlot_, reinterpret_cast<void*>(g_read));
}

long PortCallCounter::calls() const
{
    return g_calls;
}

void PortCallCounter::reset()
{
    g_calls = 0;
}

namespace {

std::mutex g_loadsMu;
std::vector<LibraryLoadLog::Load> g_loads;
decltype(&LoadLibraryA) g_loadA = nullptr;
decltype(&LoadLibraryW) g_loadW = nullptr;
decltype(&LoadLibraryExA) g_loadExA = nullptr;
decltype(&LoadLibraryExW) g_loadExW = nullptr;

std::string narrow(LPCWSTR w)
{
    std::string s;
    for (; w && *w; ++w)
        s.push_back(*w < 0x80 ? char(*w) : '?');
    return s;
}

void note(std::string name, DWORD flags)
{
    std::lock_guard lk(g_loadsMu);
    g_loads.push_back({std::move(name), flags});
}

HMODULE WINAPI loggedLoadLibraryA(LPCSTR name)
{
    note(name ? name : "", 0);
    return g_loadA(name);
}

HMODULE WINAPI loggedLoadLibraryW(LPCWSTR name)
{
    note(narrow(name), 0);
    return g_loadW(name);
}

HMODULE WINAPI loggedLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags)
{
    note(name ? name : "", flags);
    return g_loadExA(name, file, flags);
}

HMODULE WINAPI loggedLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags)
{
    note(narrow(name), flags);
    return g_loadExW(name, file, flags);
}

} // namespace

LibraryLoadLog::LibraryLoadLog(HMODULE module)
{
    {
        std::lock_guard lk(g_loadsMu);
        g_loads.clear();
    }
    if (!module)
        return;
    const char* names[4] = {"LoadLibraryA", "LoadLibraryW", "LoadLibraryExA", "LoadLibraryExW"};
    void* hooks[4] = {reinterpret_cast<void*>(&loggedLoadLibraryA), reinterpret_cast<void*>(&loggedLoadLibraryW),
        reinterpret_cast<void*>(&loggedLoadLibraryExA), reinterpret_cast<void*>(&loggedLoadLibraryExW)};
    // The real functions, for the calls passed on.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    g_loadA = reinterpret_cast<decltype(g_loadA)>(reinterpret_cast<void*>(GetProcAddress(kernel, names[0])));
    g_loadW = reinterpret_cast<decltype(g_loadW)>(reinterpret_cast<void*>(GetProcAddress(kernel, names[1])));
    g_loadExA = reinterpret_cast<decltype(g_loadExA)>(reinterpret_cast<void*>(GetProcAddress(kernel, names[2])));
    g_loadExW = reinterpret_cast<decltype(g_loadExW)>(reinterpret_cast<void*>(GetProcAddress(kernel, names[3])));
    for (int i = 0; i < 4; ++i) {
        slots_[i] = importSlot(module, names[i]);
        if (slots_[i])
            originals_[i] = exchange(slots_[i], hooks[i]);
    }
}

LibraryLoadLog::~LibraryLoadLog()
{
    for (int i = 0; i < 4; ++i)
        if (slots_[i])
            exchange(slots_[i], originals_[i]);
}

bool LibraryLoadLog::installed() const
{
    for (void** s : slots_)
        if (s)
            return true;
    return false;
}

std::vector<LibraryLoadLog::Load> LibraryLoadLog::loads() const
{
    std::lock_guard lk(g_loadsMu);
    return g_loads;
}

} // namespace wintest
