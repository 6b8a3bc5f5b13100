// Round-trip time of one APDU: raw SCardTransmit, modSmart::TransmitApdu,
// and the command exchange as the window does it (TransmitApdu plus the
// split into data and status word). Prints median and p99 and the ratio of
// each to raw; asserts nothing.
#include "apdu_rounds.h"
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

namespace {

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
    std::vector<benchsupport::ApduVariant> variants{
        {"raw SCardTransmit", raw}, {"modSmart::TransmitApdu", layer}, {"TransmitApdu + SW split", exchange}};
    benchsupport::runRounds(variants, 200, rounds, perRound);
    smart.DisconnectCard();
    card.stop();

    std::printf(
        "APDU %s, %d samples per variant (private pcscd + simulated card)\n", cmdHex.c_str(), rounds * perRound);
    benchsupport::printTable(variants);
    std::printf("goal: median ratio within 1.10\n");
    return 0;
}
