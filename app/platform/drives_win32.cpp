// Windows drives: the logical drives as the drive list control shows them
// ("c:", lower-case letter and colon), their type, and the ordinary files of
// a drive's root (no folders, hidden or system files), like the file list
// control with its default settings.
#include "platform/drives.h"

#include <windows.h>

namespace tarvex {
namespace {

// An empty floppy or card slot must fail quietly instead of asking the user
// to insert a disk.
class QuietCriticalErrors {
public:
    QuietCriticalErrors() : previous_(SetErrorMode(SEM_FAILCRITICALERRORS)) { }
    ~QuietCriticalErrors() { SetErrorMode(previous_); }
    QuietCriticalErrors(const QuietCriticalErrors&) = delete;
    QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

private:
    UINT previous_;
};

class FindHandle {
public:
    explicit FindHandle(HANDLE h) : h_(h) { }
    ~FindHandle()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            FindClose(h_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

// "x:" and whatever follows -> "x:\", the root the Windows calls expect.
std::string rootOf(const std::string& entry)
{
    if (entry.size() >= 2 && entry[1] == ':')
        return entry.substr(0, 2) + "\\";
    return entry;
}

class WindowsDrives : public Drives {
public:
    std::vector<std::string> list() override
    {
        std::vector<std::string> entries;
        char buffer[512];
        DWORD n = GetLogicalDriveStringsA(sizeof buffer, buffer);
        if (n == 0 || n > sizeof buffer) {
            listProblem_ = "GetLogicalDriveStrings failed (error " + std::to_string(n == 0 ? GetLastError() : 0) + ")";
            return entries;
        }
        listProblem_.clear();
        for (const char* p = buffer; *p; p += lstrlenA(p) + 1) {
            if (p[1] != ':')
                continue;
            char letter = p[0];
            if (letter >= 'A' && letter <= 'Z')
                letter = char(letter - 'A' + 'a');
            entries.push_back(std::string(1, letter) + ":");
        }
        return entries;
    }

    std::string listProblem() const override { return listProblem_; }

    int driveType(const std::string& entry) override { return int(GetDriveTypeA(rootOf(entry).c_str())); }

    bool listRootFiles(const std::string& entry, std::vector<std::string>& files) override
    {
        files.clear();
        QuietCriticalErrors quiet;
        std::string pattern = rootOf(entry) + "*";
        WIN32_FIND_DATAA found;
        FindHandle h(FindFirstFileA(pattern.c_str(), &found));
        if (!h.valid())
            return GetLastError() == ERROR_FILE_NOT_FOUND; // an empty root is readable
        const DWORD skip = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        do {
            if ((found.dwFileAttributes & skip) == 0)
                files.emplace_back(found.cFileName);
        } while (FindNextFileA(h.get(), &found));
        return true;
    }

private:
    std::string listProblem_;
};

} // namespace

std::unique_ptr<Drives> makeSystemDrives()
{
    return std::make_unique<WindowsDrives>();
}

} // namespace tarvex
