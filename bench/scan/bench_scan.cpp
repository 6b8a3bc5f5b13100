// Prints the time of one scan cycle (tmrUpdates_Timer) for a range of
// attached readers: the first cycle, which adds the entries and reads each
// new reader's identity, and the steady cycle that finds them all again.
// Yields are no-ops here, so the figures are the scan's own work plus its
// transports, not the window's event handling.
#include "window_fixture.h"
#include "modUSB.h"

#ifdef BENCH_SCAN_WITH_SIM
#include "zn480sim/cdc_peer.h"
#include "zn480sim/reader.h"
#endif

#ifdef BENCH_SCAN_WITH_PCSCD
#include "private_pcscd.h"
#include "zn480sim/vpcd_card.h"
#include <thread>
#endif

#include <QApplication>
#include <QCheckBox>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace tarvex;
namespace fs = std::filesystem;

namespace {

using Ms = std::chrono::duration<double, std::milli>;

using fakes::hexOf;

// The identity answers of a reader, for the fake transports.
std::vector<uint8_t> answer(const std::vector<uint8_t>& apdu)
{
    const std::string cmd = hexOf(apdu);
    if (cmd == "FFCAF00004")
        return {0x01, 0x02, 0x03, 0x04, 0x90, 0x00};
    if (cmd == "FFCAE00004")
        return {0x00, 0x02, 0x00, 0xA6, 0x90, 0x00};
    return {0x90, 0x00};
}

struct Figures {
    double first = 0, steadyMedian = 0, steadyMax = 0;
    int entries = 0;
};

Figures measure(const Services& services, int steadyRuns)
{
    testing::FakeUi ui;
    frmMain form(services, ui);
    form.tmrUpdates->stop();
    Figures f;
    auto t0 = std::chrono::steady_clock::now();
    form.tmrUpdates_Timer();
    f.first = Ms(std::chrono::steady_clock::now() - t0).count();
    f.entries = form.core().list().count();
    std::vector<double> runs;
    for (int i = 0; i < steadyRuns; ++i) {
        form.chkRefresh->setChecked(true);
        t0 = std::chrono::steady_clock::now();
        form.tmrUpdates_Timer();
        runs.push_back(Ms(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(runs.begin(), runs.end());
    if (!runs.empty()) {
        f.steadyMedian = runs[runs.size() / 2];
        f.steadyMax = runs.back();
    }
    return f;
}

void row(const char* transport, int ccid, int cdc, const Figures& f)
{
    std::printf("%-28s %6d %5d %8d %12.3f %13.3f %11.3f\n", transport, ccid, cdc, f.entries, f.first, f.steadyMedian,
        f.steadyMax);
}

Figures fakeRun(int ccid, int cdc, int steadyRuns)
{
    fakes::FakeWorld w;
    for (int i = 0; i < ccid; ++i) {
        fakes::FakePcsc::Reader r;
        r.name = "ZN480 Bench " + std::to_string(i) + " 00 00";
        w.pcsc.readers.push_back(r);
    }
    w.pcsc.responder = answer;
    for (int p = 1; p <= cdc; ++p) {
        w.serchan.ports[p] = true;
        w.serialMap.add("\\Device\\USBSER" + std::to_string(p), "COM" + std::to_string(p));
    }
    w.serchan.responder = answer;
    w.clock.autoAdvance = 1;
    return measure(w.services(), steadyRuns);
}

#ifdef BENCH_SCAN_WITH_PCSCD
// One private pcscd with `vpcdReaders` virtual readers (two PC/SC slots
// each, a simulated card in every slot). The PC/SC client library takes its
// socket path once per process, so each size runs in a child process.
int pcscdRow(int vpcdReaders)
{
    zn480test::PrivatePcscd pcscd(vpcdReaders);
    if (!pcscd.ok()) {
        std::printf("%-28s %6d %5d   (private pcscd unavailable: %s)\n", "private pcscd + sim", 2 * vpcdReaders, 0,
            pcscd.error().c_str());
        return 0;
    }
    pcscd.exportSocket();
    std::vector<std::unique_ptr<zn480sim::Reader>> readers;
    std::vector<std::unique_ptr<zn480sim::VpcdCard>> cards;
    for (int k = 0; k < vpcdReaders; ++k)
        for (int slot = 0; slot < 2; ++slot) {
            zn480sim::ReaderConfig config;
            config.personality = zn480sim::Personality::CCID;
            readers.push_back(std::make_unique<zn480sim::Reader>(config));
            cards.push_back(std::make_unique<zn480sim::VpcdCard>(*readers.back(), uint16_t(pcscd.port(k) + slot)));
            cards.back()->start(true);
        }
    for (auto& c : cards)
        c->waitConnected(true, std::chrono::seconds(10));

    auto api = pcsc::loadSystemPcsc();
    {
        // Wait until the daemon reports every card, so the first cycle reads
        // every identity rather than racing the driver's presence poll.
        modSmart warm(*api);
        for (int attempt = 0; attempt < 100; ++attempt) {
            warm.InitSmart();
            warm.ListReaders();
            std::vector<std::string> names;
            const int n = warm.GetReaders(names);
            int withCard = 0;
            for (int i = 0; i < n; ++i) {
                warm.SelectReader(names[size_t(i)]);
                if (!warm.ConnectCard().empty()) {
                    ++withCard;
                    warm.DisconnectCard();
                }
            }
            if (n == 2 * vpcdReaders && withCard == n)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    fakes::FakeWorld w;
    Services s = w.services();
    s.pcsc = api.get();
    s.clock = &systemClock();
    row("private pcscd + sim", 2 * vpcdReaders, 0, measure(s, 20));
    for (auto& c : cards)
        c->stop();
    return 0;
}
#endif

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#ifdef BENCH_SCAN_WITH_PCSCD
    if (argc == 3 && std::string(argv[1]) == "--pcscd-child")
        return pcscdRow(std::atoi(argv[2]));
#endif
    const int steadyRuns = 50;

    std::printf("scan cycle (tmrUpdates_Timer), milliseconds; steady = median/max of %d cycles\n", steadyRuns);
    std::printf("%-28s %6s %5s %8s %12s %13s %11s\n", "transport", "CCID", "CDC", "entries", "first cycle",
        "steady median", "steady max");

    fakeRun(4, 4, steadyRuns); // warm-up: first-use allocations and lazy binding
    const int ccidCounts[] = {0, 1, 4, 16};
    for (int n : ccidCounts)
        row("fake PC/SC", n, 0, fakeRun(n, 0, steadyRuns));
    const int cdcCounts[] = {1, 4};
    for (int n : cdcCounts)
        row("fake serchan", 0, n, fakeRun(0, n, steadyRuns));
    row("fake, mixed", 4, 4, fakeRun(4, 4, steadyRuns));

    {
        // The Linux backends of this machine: udev HID, udev tty map, mounts.
        fakes::FakeWorld w;
        auto hid = makeSystemHidEnumerator();
        auto map = makeSystemSerialPortMap();
        auto drives = makeSystemDrives();
        Services s = w.services();
        s.hid = hid.get();
        s.serialMap = map.get();
        s.drives = drives.get();
        row("system HID/tty/drives", 0, 0, measure(s, steadyRuns));
    }

#ifdef BENCH_SCAN_WITH_SIM
    // Simulated readers on ptys, reached through libserchan and the serial
    // map's device-folder override, on the real clock.
    auto serchan = loadSerchanBesideProgram();
    for (int n : cdcCounts) {
        std::string tmpl = (fs::temp_directory_path() / "bench-scan-XXXXXX").string();
        const fs::path dir = mkdtemp(tmpl.data());
        std::vector<std::unique_ptr<zn480sim::Reader>> readers;
        std::vector<std::unique_ptr<zn480sim::CdcPeer>> peers;
        bool ok = true;
        for (int k = 0; k < n && ok; ++k) {
            readers.push_back(std::make_unique<zn480sim::Reader>());
            peers.push_back(std::make_unique<zn480sim::CdcPeer>(*readers.back()));
            ok = peers.back()->start() && peers.back()->linkAs((dir / ("ttyACM" + std::to_string(k))).string());
        }
        if (ok) {
            setenv("ZN480_DEV_DIR", dir.c_str(), 1);
            fakes::FakeWorld w;
            auto map = makeSystemSerialPortMap();
            Services s = w.services();
            s.clock = &systemClock();
            s.serchan = serchan.get();
            s.serialMap = map.get();
            row("sim on pty, libserchan", 0, n, measure(s, 10));
            unsetenv("ZN480_DEV_DIR");
        } else {
            std::printf("%-28s %6d %5d   (no pty available)\n", "sim on pty, libserchan", 0, n);
        }
        for (auto& p : peers)
            p->stop();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
#endif
#ifdef BENCH_SCAN_WITH_PCSCD
    if (geteuid() != 0) {
        std::printf("%-28s   (needs root for a private pcscd)\n", "private pcscd + sim");
    } else {
        std::fflush(stdout);
        std::error_code ec;
        const std::string self = fs::read_symlink("/proc/self/exe", ec).string();
        const int vpcdReaders[] = {1, 2, 8};
        for (int n : vpcdReaders) {
            const std::string cmd = "'" + self + "' --pcscd-child " + std::to_string(n);
            if (std::system(cmd.c_str()) != 0)
                std::printf("%-28s %6d %5d   (child failed)\n", "private pcscd + sim", 2 * n, 0);
        }
    }
#endif
    return 0;
}
