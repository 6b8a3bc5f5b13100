// Counts a module's calls to the serial functions it imports: the module's
// import address table entries point at counting stand-ins for as long as a
// PortCallCounter lives. For tests (and benchmarks) that must tell how often
// a library asks the driver (a wait that blocks asks a few times, a spinning
// one without end), which no timing can tell on a machine busy with other
// work.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace wintest {

// Counts ClearCommError and ReadFile calls made by `module` (SERCHAN.dll, or
// this program for code compiled into it): every look at a serial port's
// input queue or read of it. One counter at a time.
class PortCallCounter {
public:
    explicit PortCallCounter(HMODULE module);
    ~PortCallCounter();
    PortCallCounter(const PortCallCounter&) = delete;
    PortCallCounter& operator=(const PortCallCounter&) = delete;

    // False when the module imports neither function by name.
    bool installed() const { return clearSlot_ || readSlot_; }
    long calls() const;
    void reset();

private:
    HMODULE module_;
    void** clearSlot_ = nullptr;
    void** readSlot_ = nullptr;
};

// Writes down every library `module` asks KERNEL32 to load (LoadLibraryA/W,
// LoadLibraryExA/W) while it lives: the name as given and the flags (0 for
// the plain calls). One log at a time.
class LibraryLoadLog {
public:
    struct Load {
        std::string name;
        DWORD flags = 0;
    };
    explicit LibraryLoadLog(HMODULE module);
    ~LibraryLoadLog();
    LibraryLoadLog(const LibraryLoadLog&) = delete;
    LibraryLoadLog& operator=(const LibraryLoadLog&) = delete;

    // False when the module imports none of the four by name.
    bool installed() const;
    std::vector<Load> loads() const;

private:
    void** slots_[4] = {};
    void* originals_[4] = {};
};

} // namespace wintest
