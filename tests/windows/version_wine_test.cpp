// The version resource of every binary that ships, read the way Explorer and
// Windows Installer read it (GetFileVersionInfo, VerQueryValue): the
// project's version in the fixed part and in the strings, the file's own
// name, and the file type. The binaries are the ones beside this program
// (the Qt-free cross-build: tarvexctl.exe, kbflash.exe, SERCHAN.dll) or, when
// TARVEX_VERSION_DIR names a folder, the four in that folder (the installed
// program, Tarvex.exe included).
#include "wine_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Shipped {
    const char* name;
    DWORD type; // VFT_APP or VFT_DLL
    bool gui;   // only in the build with Qt
};

const Shipped kShipped[] = {
    {"Tarvex.exe", VFT_APP, true},
    {"tarvexctl.exe", VFT_APP, false},
    {"kbflash.exe", VFT_APP, false},
    {"SERCHAN.dll", VFT_DLL, false},
};

std::wstring wide(const std::string& s)
{
    std::wstring w(s.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, w.data(), int(w.size()));
    w.resize(n > 0 ? size_t(n - 1) : 0);
    return w;
}

std::string narrow(const wchar_t* w)
{
    char buf[512] = {};
    WideCharToMultiByte(CP_ACP, 0, w, -1, buf, sizeof buf - 1, nullptr, nullptr);
    return buf;
}

// The project's version as the four 16-bit parts of the fixed file info
// (major.minor.patch.0).
void versionParts(DWORD& ms, DWORD& ls)
{
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(TARVEX_VERSION, "%u.%u.%u", &major, &minor, &patch), 3) << TARVEX_VERSION;
    ms = (major << 16) | minor;
    ls = patch << 16;
}

// One file's version block, with lookups into it.
class VersionInfo {
public:
    explicit VersionInfo(const std::wstring& path)
    {
        DWORD handle = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
        if (size == 0)
            return;
        data_.resize(size);
        if (!GetFileVersionInfoW(path.c_str(), 0, size, data_.data()))
            data_.clear();
    }
    bool ok() const { return !data_.empty(); }

    const VS_FIXEDFILEINFO* fixed()
    {
        void* p = nullptr;
        UINT len = 0;
        if (!VerQueryValueW(data_.data(), L"\\", &p, &len) || len < sizeof(VS_FIXEDFILEINFO))
            return nullptr;
        return static_cast<const VS_FIXEDFILEINFO*>(p);
    }

    // A string of the first language the block lists; "(none)" when missing.
    std::string text(const wchar_t* key)
    {
        struct Translation {
            WORD language, codePage;
        };
        void* p = nullptr;
        UINT len = 0;
        if (!VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation", &p, &len) || len < sizeof(Translation))
            return "(no translation)";
        const auto* t = static_cast<const Translation*>(p);
        wchar_t sub[128];
        swprintf(sub, 128, L"\\StringFileInfo\\%04x%04x\\%ls", t->language, t->codePage, key);
        if (!VerQueryValueW(data_.data(), sub, &p, &len) || len == 0)
            return "(none)";
        return narrow(static_cast<const wchar_t*>(p));
    }

private:
    std::vector<BYTE> data_;
};

void checkFile(const std::string& dir, const Shipped& f, DWORD wantMs, DWORD wantLs)
{
    SCOPED_TRACE(dir + "\\" + f.name);
    const std::wstring path = wide(dir + "\\" + f.name);
    ASSERT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << "missing";
    VersionInfo info(path);
    ASSERT_TRUE(info.ok()) << "no version resource (error " << GetLastError() << ")";
    const VS_FIXEDFILEINFO* fixed = info.fixed();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, wantMs);
    EXPECT_EQ(fixed->dwFileVersionLS, wantLs);
    EXPECT_EQ(fixed->dwProductVersionMS, wantMs);
    EXPECT_EQ(fixed->dwProductVersionLS, wantLs);
    EXPECT_EQ(fixed->dwFileType, f.type);
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u); // no debug or pre-release build
    EXPECT_EQ(info.text(L"FileVersion"), TARVEX_VERSION);
    EXPECT_EQ(info.text(L"ProductVersion"), TARVEX_VERSION);
    EXPECT_EQ(info.text(L"ProductName"), "Tarvex");
    EXPECT_EQ(info.text(L"CompanyName"), "Tarvex developers");
    EXPECT_EQ(info.text(L"OriginalFilename"), f.name);
    const std::string description = info.text(L"FileDescription");
    EXPECT_NE(description, "(none)");
    EXPECT_FALSE(description.empty());
}

TEST(VersionResource, EveryShippedBinaryCarriesTheProjectVersion)
{
    const std::string dirFromEnv = wintest::env("TARVEX_VERSION_DIR");
    const std::string dir = dirFromEnv.empty() ? wintest::programFolder() : dirFromEnv;
    DWORD wantMs = 0, wantLs = 0;
    ASSERT_NO_FATAL_FAILURE(versionParts(wantMs, wantLs));
    for (const Shipped& f : kShipped)
        if (!f.gui || !dirFromEnv.empty())
            checkFile(dir, f, wantMs, wantLs);
}

} // namespace
