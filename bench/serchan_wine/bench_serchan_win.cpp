// The Windows serial waits under Wine, run by bench_serchan_wine inside the
// Wine test driver's prefix (tests/wine): the simulated reader on one COM
// port, its control line on another, a raw echo line on a third. Prints:
//   - wall and processor time of the waits for an answer that does not
//     come: a probe of a reader that says nothing (open, the frame, three
//     ACK waits of 300 ms, close), a probe of a reader that acknowledges and
//     never replies (the program's 500 ms poll for the reply), and
//     SCTransmit's 500 ms time-out after an ACK. Processor time is the whole
//     process's, so that work moved to a helper thread still counts. A
//     spinning wait that yields gets what the machine has to spare, so its
//     share swings with the load of other work; beside it, how many times
//     SERCHAN.dll looked at or read the port, which does not;
//   - an exchange's round trip beside the raw echo of the same 9-byte frame
//     on a port that reads with a blocking time-out (the fastest a port can
//     answer), for the program's exchange (SCSend, then SCReceive polled) and
//     for SCTransmit;
//   - tarvexctl.exe list (a child process) with the reader silent and with
//     it answering: wall time (Wine reports no processor time of another
//     process: GetProcessTimes gives the caller's own).
// Indicative only: Wine is not Windows. Figures only; nothing is asserted.
#include "serchan.h"

#include "core/reader_session.h"
#include "import_hook.h"
#include "platform/clock.h"
#include "platform/pcsc.h"
#include "platform/serchan_api.h"
#include "sim_control.h"
#include "wine_env.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

double nowMs()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) * 1000.0 / frequency;
}

double msOf(const FILETIME& f)
{
    return double(uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10000.0;
}

// Kernel plus user time of a process, in milliseconds; -1 when unknown.
double processCpuMs(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return -1;
    return msOf(kernel) + msOf(user);
}

struct Cost {
    double wallMs = 0;
    double cpuMs = 0;
    long portCalls = 0;
};

Cost costOf(const std::function<void()>& job, wintest::PortCallCounter& calls)
{
    calls.reset();
    const double cpu0 = processCpuMs(GetCurrentProcess());
    const double t0 = nowMs();
    job();
    return {nowMs() - t0, processCpuMs(GetCurrentProcess()) - cpu0, calls.calls()};
}

void printCost(const char* what, const Cost& c)
{
    std::printf("  %-44s %8.0f %8.0f %7.1f%% %10ld\n", what, c.wallMs, c.cpuMs,
        c.wallMs > 0 ? 100.0 * c.cpuMs / c.wallMs : 0, c.portCalls);
}

struct Stats {
    double median, p99, mean;
};

Stats summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)], sum / double(v.size())};
}

// A port that reads with a blocking time-out: ReadFile returns once all the
// asked-for bytes are there.
class RawPort {
public:
    explicit RawPort(int port)
    {
        char name[32];
        std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
        h_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h_ == INVALID_HANDLE_VALUE)
            return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(h_, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        SetCommState(h_, &dcb);
        COMMTIMEOUTS t{0, 0, 1000, 0, 1000};
        SetCommTimeouts(h_, &t);
    }
    ~RawPort()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }

    // Writes the frame and reads its echo; false when it did not come back.
    bool echo(const uint8_t* frame, DWORD length)
    {
        DWORD n = 0;
        if (!WriteFile(h_, frame, length, &n, nullptr) || n != length)
            return false;
        uint8_t back[64];
        DWORD got = 0;
        while (got < length) {
            if (!ReadFile(h_, back + got, length - got, &n, nullptr) || n == 0)
                return false;
            got += n;
        }
        return true;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Runs `command` and waits for it; false when it could not be started.
bool runChild(const std::string& command, double& wallMs)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    si.hStdOutput = si.hStdError = nul;
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi{};
    std::string line = command;
    const double t0 = nowMs();
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(nul);
        return false;
    }
    WaitForSingleObject(pi.hProcess, 60000);
    wallMs = nowMs() - t0;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(nul);
    return true;
}

constexpr int kProbes = 3;
constexpr int kRounds = 2000;
const uint8_t kApdu[] = {0xFF, 0xCA, 0xF0, 0x00, 0x04};
const uint8_t kFrame[] = {0x02, 0x81, 0x05, 0xFF, 0xCA, 0xF0, 0x00, 0x04, 0x47};

} // namespace

int main()
{
    const int port = wintest::envPort("TARVEX_WINE_SIM_PORT");
    const int controlPort = wintest::envPort("TARVEX_WINE_CONTROL_PORT");
    const int echoPort = wintest::envPort("TARVEX_WINE_ECHO_PORT");
    if (!port || !controlPort || !echoPort) {
        std::printf("not run: %s\n", wintest::kNotUnderDriver);
        return 0;
    }
    wintest::SimControl control(controlPort);
    RawPort raw(echoPort);
    if (!control.ok() || !raw.ok()) {
        std::printf("set-up failed: no control line COM%d or echo line COM%d\n", controlPort, echoPort);
        return 1;
    }
    auto sim = [&](const char* line) { return control.command(line).rfind("ok", 0) == 0; };

    auto pcsc = tarvex::pcsc::loadSystemPcsc();
    auto api = tarvex::loadSerchanBesideProgram();
    tarvex::ReaderSession session(*pcsc, api.get(), tarvex::systemClock());

    wintest::PortCallCounter portCalls(GetModuleHandleA("SERCHAN.dll"));
    std::printf("serchan under Wine: waits for an answer that does not come (COM%d, %d runs each)\n", port, kProbes);
    std::printf("  %-44s %8s %8s %8s %10s\n", "case", "wall ms", "CPU ms", "CPU", "port calls");
    struct WaitCase {
        const char* name;
        const char* fault;
        const char* undo;
        std::function<void()> run;
    };
    uint8_t buffer[300];
    const WaitCase waits[] = {
        {"probe, reader silent (3 x 300 ms ACK waits)", "silent 1", "silent 0",
            [&] {
                session.CheckZnSerial(port);
                session.CloseDevice();
            }},
        {"probe, ACK but no reply (500 ms poll)", "noreply", nullptr,
            [&] {
                session.CheckZnSerial(port);
                session.CloseDevice();
            }},
        {"SCTransmit, ACK but no reply (500 ms)", "noreply", nullptr,
            [&] {
                SCOpenChannel(port, 115200, 0);
                SCTransmit(port, kApdu, sizeof kApdu, buffer, sizeof buffer, 500);
                SCCloseChannel(port);
            }},
    };
    session.DevKind = tarvex::DEVKIND_CDC;
    for (const WaitCase& w : waits) {
        for (int i = 0; i < kProbes; ++i) {
            if (!sim(w.fault)) {
                std::printf("the simulator refused \"%s\"\n", w.fault);
                return 1;
            }
            printCost(w.name, costOf(w.run, portCalls));
            if (w.undo)
                sim(w.undo);
            Sleep(100);
        }
    }

    // The cases take turns round by round, so that a busy machine weighs on
    // all of them alike.
    if (!session.openCdc(port)) {
        std::printf("cannot open COM%d\n", port);
        return 1;
    }
    std::vector<double> program, transmit, echo;
    bool ok = true;
    for (int i = 0; ok && i < 50 + kRounds; ++i) {
        const bool keep = i >= 50;
        double t0 = nowMs();
        ok = raw.echo(kFrame, sizeof kFrame);
        if (keep)
            echo.push_back((nowMs() - t0) * 1000);
        t0 = nowMs();
        std::string reply;
        ok = ok && session.CDC_SendApdu("FFCAF00004", reply) == "9000";
        if (keep)
            program.push_back((nowMs() - t0) * 1000);
        t0 = nowMs();
        ok = ok && SCTransmit(port, kApdu, sizeof kApdu, buffer, sizeof buffer, 1000) == 6;
        if (keep)
            transmit.push_back((nowMs() - t0) * 1000);
    }
    session.CloseDevice();
    if (!ok) {
        std::printf("an exchange failed\n");
        return 1;
    }
    const Stats p = summarise(program), x = summarise(transmit), r = summarise(echo);
    std::printf("\nAPDU FFCAF00004 round trip, %d rounds each (microseconds)\n", kRounds);
    std::printf("  %-44s %8s %8s %8s\n", "case", "median", "p99", "mean");
    std::printf("  %-44s %8.0f %8.0f %8.0f\n", "program: SCSend + SCReceive polled", p.median, p.p99, p.mean);
    std::printf("  %-44s %8.0f %8.0f %8.0f\n", "SCTransmit", x.median, x.p99, x.mean);
    std::printf("  %-44s %8.0f %8.0f %8.0f\n", "raw echo of the 9-byte frame", r.median, r.p99, r.mean);
    std::printf(
        "  %-44s %8.2f %8.2f %8.2f\n", "ratio program / raw", p.median / r.median, p.p99 / r.p99, p.mean / r.mean);
    std::printf(
        "  %-44s %8.2f %8.2f %8.2f\n", "ratio SCTransmit / raw", x.median / r.median, x.p99 / r.p99, x.mean / r.mean);

    // tarvexctl.exe lists what the scan finds: here only the reader's port,
    // so its other serial lines are taken out of this prefix's port map.
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", &key) == ERROR_SUCCESS) {
        for (const char* value : {"\\Device\\USBSER007", "\\Device\\Serial8"})
            RegDeleteValueA(key, value);
        RegCloseKey(key);
    }
    // Appended piece by piece: GCC 12 warns falsely about a chain of
    // string operator+ here.
    std::string ctl = "\"";
    ctl += wintest::programFolder();
    ctl += "\\tarvexctl.exe\" list";
    std::printf("\ntarvexctl.exe list, COM%d the only serial port (%d runs each)\n", port, kProbes);
    std::printf("  %-44s %8s\n", "case", "wall ms");
    for (bool silent : {true, false}) {
        sim(silent ? "silent 1" : "silent 0");
        for (int i = 0; i < kProbes; ++i) {
            double wallMs = 0;
            if (!runChild(ctl, wallMs)) {
                std::printf("  cannot run %s\n", ctl.c_str());
                break;
            }
            std::printf("  %-44s %8.0f\n", silent ? "list, reader silent" : "list, reader answering", wallMs);
        }
    }
    sim("silent 0");
    return 0;
}
