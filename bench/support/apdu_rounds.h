// Timing of APDU round-trip variants for the PC/SC benchmarks (the Linux
// build's and the Windows build's under Wine): warm-up, interleaved rounds so
// that drift of the machine hits every variant alike, and one table of
// median and p99 with each variant's ratio to the first. Prints only.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace benchsupport {

struct ApduVariant {
    const char* name;
    std::function<bool()> run; // one round trip; false when it failed
    std::vector<double> us = {};
    int failures = 0;
};

struct Stats {
    double median, p99;
};

inline Stats summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    return {at(0.5), at(0.99)};
}

inline void runRounds(std::vector<ApduVariant>& variants, int warmUp, int rounds, int perRound)
{
    using Clock = std::chrono::steady_clock;
    for (auto& v : variants)
        for (int i = 0; i < warmUp; ++i)
            v.run();
    for (int r = 0; r < rounds; ++r)
        for (auto& v : variants)
            for (int i = 0; i < perRound; ++i) {
                const auto t0 = Clock::now();
                const bool ok = v.run();
                const auto t1 = Clock::now();
                if (!ok)
                    ++v.failures;
                v.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
}

// The table; the first variant is the base of the ratios.
inline void printTable(const std::vector<ApduVariant>& variants)
{
    if (variants.empty() || variants[0].us.empty())
        return;
    const Stats base = summarise(variants[0].us);
    std::printf(
        "%-26s %12s %12s %14s %11s %9s\n", "variant", "median [us]", "p99 [us]", "median/raw", "p99/raw", "failures");
    for (const auto& v : variants) {
        const Stats s = summarise(v.us);
        std::printf("%-26s %12.1f %12.1f %14.3f %11.3f %9d\n", v.name, s.median, s.p99, s.median / base.median,
            s.p99 / base.p99, v.failures);
    }
}

} // namespace benchsupport
