// The Wine 10 root of scripts/wine10-root.sh, for tests of the Windows
// programs that need a working winscard.dll: where it is, whether it is
// ready, and the command line that runs a program inside it.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace zn480wine {

// TARVEX_WINE10_ROOT, else the folder the script would build.
inline std::string wine10Root()
{
    if (const char* r = std::getenv("TARVEX_WINE10_ROOT"); r && *r)
        return r;
    std::string root;
    if (FILE* p = ::popen("'" TARVEX_SOURCE_DIR "/scripts/wine10-root.sh' --print-root", "r")) {
        char buf[4096];
        while (std::fgets(buf, sizeof buf, p))
            root += buf;
        ::pclose(p);
    }
    while (!root.empty() && (root.back() == '\n' || root.back() == '\r'))
        root.pop_back();
    return root;
}

// A root is usable once the script stamped it complete.
inline bool wine10Ready(const std::string& root)
{
    struct stat st { };
    return !root.empty() && ::stat((root + "/../complete").c_str(), &st) == 0;
}

// The test command builds the root first and sets TARVEX_REQUIRE_WINE10, so
// that there a missing root fails the test instead of skipping it.
inline bool wine10Required()
{
    const char* v = std::getenv("TARVEX_REQUIRE_WINE10");
    return v && *v && std::string(v) != "0";
}

// A private XDG_RUNTIME_DIR below `work`, owned by the user and closed to
// others as such a folder must be, made on first use.
inline std::string runtimeDir(const std::string& work)
{
    const std::string dir = work + "/xdg-runtime";
    ::mkdir(dir.c_str(), 0700);
    return dir;
}

// `argv` run inside the root with `binds` (host folders) visible at their
// own paths, and the repository always.
inline std::vector<std::string> inWine10(const std::vector<std::string>& binds, const std::vector<std::string>& argv)
{
    std::vector<std::string> cmd{TARVEX_SOURCE_DIR "/tests/support/wine10-enter.sh"};
    for (const std::string& b : binds) {
        cmd.push_back("-b");
        cmd.push_back(b);
    }
    cmd.push_back("--");
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

} // namespace zn480wine
