// Texts crossing between the Linux test drivers and the Windows programs
// they run under Wine.
#pragma once
#include <algorithm>
#include <string>

namespace zn480wine {

// A Windows path of a Unix one, through Wine's z: drive (the root).
inline std::string windowsPath(const std::string& unixPath)
{
    std::string p = "Z:" + unixPath;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

// The console's CRLF line ends as plain lines.
inline std::string unixLines(std::string s)
{
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

} // namespace zn480wine
