// The Windows PC/SC path's APDU round trip: bench_pcsc_win.exe (the mingw64
// build) run under Wine 10 inside the Debian 13 root of
// scripts/wine10-root.sh, against a pcscd of that root whose virtual reader's
// card is the simulator. Prints the Windows program's table (raw
// SCardTransmit, TransmitApdu, SendAPDU in one prefix) for comparison with
// bench_pcsc's Linux figures; asserts nothing.
#include "run_logged.h"
#include "sim_farm.h"
#include "wine10.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    const std::string rounds = argc > 1 ? argv[1] : "10";
    const std::string exe = BENCH_PCSC_WIN_EXE;
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_pcsc_wine10: entering the Wine 10 root needs root\n");
        return 1;
    }
    const std::string root = zn480wine::wine10Root();
    if (!zn480wine::wine10Ready(root) || !fs::exists(exe)) {
        std::printf("skipped: needs the Wine 10 root (scripts/wine10-root.sh) and %s (scripts/build.sh mingw64)\n",
            exe.c_str());
        return 0;
    }
    zn480e2e::TempDir work("bench-wine10");
    const std::string log = work / "wine.log";
    ::setenv("WINEPREFIX", (work / "prefix").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // Wine 10 wants a runtime folder of its own, as a desktop session gives.
    ::setenv("XDG_RUNTIME_DIR", zn480wine::runtimeDir(work.path).c_str(), 1);
    ::unsetenv("DISPLAY");
    auto wine = [&](const std::vector<std::string>& a, int ms) {
        return zn480wine::runLogged(zn480wine::inWine10({work.path}, a), log, std::chrono::milliseconds(ms));
    };
    if (wine({"wineboot", "-i"}, 240000) != 0) {
        std::fprintf(stderr, "bench_pcsc_wine10: no Wine prefix:\n%s\n", zn480e2e::readFile(log).c_str());
        return 1;
    }
    zn480cli::PcscdHost host{root, zn480wine::inWine10({work.path}, {}), {"--disable-polkit"}};
    zn480cli::SharedPcscd pcscd(work.path, 1, {}, host);
    if (!pcscd.ok()) {
        std::fprintf(stderr, "bench_pcsc_wine10: %s\n", pcscd.error().c_str());
        return 1;
    }
    ::setenv("PCSCLITE_CSOCK_NAME", pcscd.socketPath().c_str(), 1);
    fs::create_directories(work / "sim");
    zn480cli::FarmSim sim(work / "sim",
        {"--personality", "ccid", "--vpcd-port", std::to_string(pcscd.port(0)), "--ccid-service", pcscd.service(0)},
        false);
    if (!sim.ok()) {
        std::fprintf(stderr, "bench_pcsc_wine10: simulator:\n%s\n", sim.output().c_str());
        return 1;
    }
    const std::string out = work / "bench.out";
    const int rc
        = wine({"sh", "-c", "exec wine \"$0\" \"$@\" >'" + out + "' 2>&1", exe, pcscd.listedName(0), rounds}, 600000);
    wine({"wineserver", "-k"}, 30000);
    std::fputs(zn480e2e::readFile(out).c_str(), stdout);
    std::printf("(Wine 10 inside the Debian 13 root, pcscd 2.x, simulated card; compare bench_pcsc)\n");
    return rc == 0 ? 0 : 1;
}
