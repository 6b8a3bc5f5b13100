// A script that starts a program inside a umockdev testbed (under
// umockdev-wrapper with UMOCKDEV_DIR set), optionally as another user, for
// the helpers that start programs without arguments. exec all the way, so
// the script's pid is the program's and signals reach it.
#pragma once
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace xtest_support {

inline std::string writeTestbedLauncher(
    const std::string& path, const std::string& testbedDir, const std::string& program, const std::string& asUid = {})
{
    std::ofstream f(path);
    f << "#!/bin/sh\nexport UMOCKDEV_DIR='" << testbedDir << "'\nexec ";
    if (!asUid.empty())
        f << "setpriv --reuid=" << asUid << " --regid=" << asUid << " --clear-groups ";
    f << "umockdev-wrapper '" << program << "'\n";
    f.close();
    ::chmod(path.c_str(), 0755);
    return path;
}

} // namespace xtest_support
