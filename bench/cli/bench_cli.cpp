// Prints how long tarvexctl takes to switch every attached reader, beyond
// the waits it is specified to make: `switch --all` over 4 and 8 simulated
// readers, CDC -> CCID and back to CDC, each reader one after the other.
// The specified wait is the 2000 ms pause after each reader's reboot (no
// reader here is in HID, so no reset waits); everything else, from the
// program's start and first scan to the last reader listed again in its new
// personality, is overhead, shown per reader.
//
// The readers are the simulator's, as the hardware shows them: a PC/SC
// reader only while in CCID (one shared private PC/SC daemon, restarted as
// readers come and go, whose driver sees a card up to 0.4 s after it is
// there), a pty port while in CDC; each restarts 1000 ms after its reboot,
// inside the 2000 ms pause.
//
//   bench_cli [ROUNDS]     (default 3; needs root)
#include "sim_farm.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

using namespace zn480cli;

namespace {

constexpr double kRebootPauseMs = 2000;

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The "seconds" of each reader's JSON line.
std::vector<double> perReader(const ToolRun& r)
{
    std::vector<double> s;
    for (const std::string& line : r.lines()) {
        const size_t at = line.find("\"seconds\":");
        if (at != std::string::npos)
            s.push_back(std::atof(line.c_str() + at + 10) * 1000);
    }
    return s;
}

struct Row {
    std::vector<double> total, overhead, slowest;
};

void print(const char* what, int n, const Row& row)
{
    std::printf("  %-12s %2d readers  total %8.0f ms  waits %6.0f ms  overhead/reader %5.0f ms  "
                "(median of %zu; slowest reader %5.0f ms)\n",
        what, n, median(row.total), n * kRebootPauseMs, median(row.overhead), row.total.size(), median(row.slowest));
}

bool measure(int n, int rounds)
{
    SimFarm farm("bench-cli");
    if (!farm.startPcscd(n)) {
        std::fprintf(stderr, "bench_cli: %s\n", farm.pcscd()->error().c_str());
        return false;
    }
    for (int k = 0; k < n; ++k) {
        char serial[9];
        std::snprintf(serial, sizeof serial, "%08X", 0x10000000u * unsigned(k + 1) + 0x00C0FFEEu);
        if (!farm.add({"cdc", serial, true, true, false, false}))
            return false;
    }
    if (!farm.settle(size_t(n))) {
        std::fprintf(stderr, "bench_cli: the %d readers were not all listed\n%s", n, farm.describe().c_str());
        return false;
    }
    const ToolRun list = farm.run({"list"});
    std::printf("  list         %2d readers  %8.0f ms (start, one scan of every source, exit)\n", n, list.ms);

    Row toCcid, toCdc;
    for (int round = 0; round < rounds; ++round) {
        for (const char* target : {"ccid", "cdc"}) {
            std::vector<std::string> args{"switch", "--all", "--to", target, "--json"};
            const ToolRun r = farm.run(args);
            const std::vector<double> each = perReader(r);
            if (r.status != 0 || int(each.size()) != n) {
                std::fprintf(stderr, "bench_cli: switch --all --to %s failed (status %d):\n%s%s%s", target, r.status,
                    r.out.c_str(), r.err.c_str(), farm.describe().c_str());
                return false;
            }
            Row& row = target[1] == 'c' ? toCcid : toCdc;
            row.total.push_back(r.ms);
            row.overhead.push_back((r.ms - n * kRebootPauseMs) / n);
            row.slowest.push_back(*std::max_element(each.begin(), each.end()));
            // Before the next switch, every reader must be readable again
            // (the PC/SC daemon sees the cards a moment after the readers).
            if (!farm.settle(size_t(n)))
                return false;
        }
    }
    print("CDC -> CCID", n, toCcid);
    print("CCID -> CDC", n, toCdc);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    if (!haveRoot()) {
        std::printf("bench_cli: skipped (the private PC/SC daemon needs root)\n");
        return 0;
    }
    std::printf("tarvexctl switch --all: total time, the specified waits (2000 ms reboot pause per reader)\n"
                "and what is left per reader (simulated readers, %d rounds, load %s)\n",
        rounds, [] {
            static char load[32] = "?";
            if (FILE* f = std::fopen("/proc/loadavg", "r")) {
                if (!std::fgets(load, sizeof load, f))
                    load[0] = 0;
                std::fclose(f);
                load[std::strcspn(load, " ")] = 0;
            }
            return load;
        }());
    for (int n : {4, 8})
        if (!measure(n, rounds))
            return 1;
    return 0;
}
