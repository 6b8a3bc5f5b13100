// The probe memory in the user's local application data (%LOCALAPPDATA%\Tarvex),
// or in their temporary folder where that is not set. Both are the user's
// own; the file is replaced with MoveFileEx, so a reader sees the old text
// or the new.
#include "platform/probe_memory.h"

#include <windows.h>

#include <string>

namespace tarvex {
namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) { }
    ~FileHandle()
    {
        if (valid())
            CloseHandle(h_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }
    bool close()
    {
        const bool ok = !valid() || CloseHandle(h_) != 0;
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_;
};

std::string environment(const char* name)
{
    char buf[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

class AppDataProbeMemory final : public ProbeMemory {
public:
    explicit AppDataProbeMemory(std::string dir) : dir_(std::move(dir)), file_(dir_ + "\\serial-probes") { }

    std::optional<std::string> load() override
    {
        FileHandle f(CreateFileA(file_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f.valid())
            return std::nullopt;
        LARGE_INTEGER size;
        if (!GetFileSizeEx(f.get(), &size) || size.QuadPart < 0 || size.QuadPart > LONGLONG(kMaxBytes))
            return std::nullopt;
        std::string text(size_t(size.QuadPart), '\0');
        DWORD got = 0;
        if (!text.empty() && (!ReadFile(f.get(), &text[0], DWORD(text.size()), &got, nullptr) || got != text.size()))
            return std::nullopt;
        return text;
    }

    bool save(const std::string& text) override
    {
        if (!CreateDirectoryA(dir_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        const std::string temp = file_ + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
        FileHandle f(
            CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f.valid())
            return false;
        DWORD written = 0;
        const bool ok = text.empty()
            || (WriteFile(f.get(), text.data(), DWORD(text.size()), &written, nullptr) && written == text.size());
        if (!f.close() || !ok
            || !MoveFileExA(temp.c_str(), file_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            DeleteFileA(temp.c_str());
            return false;
        }
        return true;
    }

private:
    std::string dir_;
    std::string file_;
};

} // namespace

std::unique_ptr<ProbeMemory> makeSystemProbeMemory()
{
    std::string base = environment("LOCALAPPDATA");
    if (base.empty())
        base = environment("TEMP");
    if (base.empty())
        return nullptr;
    return std::make_unique<AppDataProbeMemory>(base + "\\Tarvex");
}

} // namespace tarvex
