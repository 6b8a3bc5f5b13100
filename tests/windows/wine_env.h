// What the Wine driver (tests/wine) set up for this run, read from the
// environment. Outside that driver the values are absent and the tests that
// need them skip.
#pragma once
#include <cstdlib>
#include <string>

namespace wintest {

inline std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

inline int envPort(const char* name)
{
    const std::string v = env(name);
    return v.empty() ? 0 : std::atoi(v.c_str());
}

constexpr const char* kNotUnderDriver = "needs the Wine driver's set-up (run through ctest -L wine, see tests/wine)";

// Folder of the running program, without a trailing separator.
std::string programFolder();

} // namespace wintest
