// Round-trip time of one APDU: raw SCardTransmit, modSmart::TransmitApdu,
// and the command exchange as the window does it (TransmitApdu plus the
// split into data and status word). Prints median and p99 and the ratio of
// each to raw; asserts nothing.
#include "modSmart.h"
#include "modUtil.h"
#include "platform/pcsc.h"
#include "private_pcscd.h"
#include "zn480sim/reader.h"
#include "zn480sim/vpcd_card.h"

#include <PCSC/winscard.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

struct Stats {
    double median, p99;
};

Stats summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    return {at(0.5), at(0.99)};
}

// The status-word split of the window's command exchange, without the window.
bool sendApdu(tarvex::modSmart& smart, const std::string& cmd, std::string& data, std::string& sw)
{
    std::string reply;
    if (smart.TransmitApdu(cmd, 1, reply) != 0 || reply.size() < 4)
        return false;
    sw = reply.substr(reply.size() - 4);
    data = reply.substr(0, reply.size() - 4);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int perRound = 250;
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_pcsc: needs root for the private pcscd\n");
        return 1;
    }
    zn480test::PrivatePcscd pcscd(1);
    if (!pcscd.ok()) {
        std::fprintf(stderr, "bench_pcsc: pcscd: %s\n", pcscd.error().c_str());
        return 1;
    }
    pcscd.exportSocket();
    zn480sim::Reader reader(zn480sim::ReaderConfig{.personality = zn480sim::Personality::CCID});
    zn480sim::VpcdCard card(reader, pcscd.port(0));
    card.start(true);
    if (!card.waitConnected(true, std::chrono::seconds(10))) {
        std::fprintf(stderr, "bench_pcsc: card did not connect\n");
        return 1;
    }

    auto api = tarvex::pcsc::loadSystemPcsc();
    tarvex::modSmart smart(*api);
    if (smart.InitSmart() != 0 || !smart.SelectReader(pcscd.readerName(0))) {
        std::fprintf(stderr, "bench_pcsc: reader not listed\n");
        return 1;
    }
    std::string atr;
    for (int i = 0; i < 100 && atr.empty(); ++i) {
        atr = smart.ConnectCard();
        if (atr.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (atr.empty()) {
        std::fprintf(stderr, "bench_pcsc: no card connection\n");
        return 1;
    }

    const std::string cmdHex = "FFCAF00004";
    const tarvex::Bytes cmd = tarvex::HexToBytes(cmdHex);
    const SCARDHANDLE handle = SCARDHANDLE(smart.cardHandle());

    auto raw = [&] {
        SCARD_IO_REQUEST pci{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
        SCARD_IO_REQUEST rpci = pci;
        BYTE buf[258];
        DWORD len = sizeof buf;
        return SCardTransmit(handle, &pci, cmd.data(), DWORD(cmd.size()), &rpci, buf, &len) == SCARD_S_SUCCESS
            && len >= 2;
    };
    auto layer = [&] {
        std::string reply;
        return smart.TransmitApdu(cmdHex, 1, reply) == 0;
    };
    auto exchange = [&] {
        std::string data, sw;
        return sendApdu(smart, cmdHex, data, sw) && sw == "9000";
    };
    struct Variant {
        const char* name;
        std::function<bool()> run;
        std::vector<double> us;
        int failures = 0;
    } variants[] = {{"raw SCardTransmit", raw, {}, 0}, {"modSmart::TransmitApdu", layer, {}, 0},
        {"TransmitApdu + SW split", exchange, {}, 0}};

    for (auto& v : variants)
        for (int i = 0; i < 200; ++i)
            v.run(); // warm-up
    // Interleaved rounds, so drift of the machine hits every variant alike.
    for (int r = 0; r < rounds; ++r) {
        for (auto& v : variants) {
            for (int i = 0; i < perRound; ++i) {
                const auto t0 = Clock::now();
                const bool ok = v.run();
                const auto t1 = Clock::now();
                if (!ok)
                    ++v.failures;
                v.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
        }
    }
    smart.DisconnectCard();
    card.stop();

    const Stats base = summarise(variants[0].us);
    std::printf(
        "APDU %s, %d samples per variant (private pcscd + simulated card)\n", cmdHex.c_str(), rounds * perRound);
    std::printf(
        "%-26s %12s %12s %14s %11s %9s\n", "variant", "median [us]", "p99 [us]", "median/raw", "p99/raw", "failures");
    for (auto& v : variants) {
        const Stats s = summarise(v.us);
        std::printf("%-26s %12.1f %12.1f %14.3f %11.3f %9d\n", v.name, s.median, s.p99, s.median / base.median,
            s.p99 / base.p99, v.failures);
    }
    std::printf("goal: median ratio within 1.10\n");
    return 0;
}
