// Round-trip time of one APDU on Windows: raw SCardTransmit of winscard.dll,
// the PC/SC layer's TransmitApdu, and the reader session's SendAPDU (what
// the workflows use), on one card connection. Run under Wine 10 by
// bench_pcsc_wine10 (bench/pcsc), where winscard.dll forwards to pcsc-lite.
// Prints median and p99 and each one's ratio to raw; asserts nothing.
//
// Usage: bench_pcsc_win.exe READER [ROUNDS]
#include "apdu_rounds.h"
#include "core/reader_session.h"
#include "modSmart.h"
#include "modUtil.h"
#include "platform/clock.h"
#include "platform/pcsc.h"

#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_pcsc_win READER [ROUNDS]\n");
        return 2;
    }
    const std::string readerName = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const int perRound = 100;

    auto api = tarvex::pcsc::loadSystemPcsc();
    tarvex::ReaderSession session(*api, nullptr, tarvex::systemClock());
    session.DevKind = tarvex::DEVKIND_CCID;
    bool connected = false;
    for (int i = 0; i < 100 && !connected; ++i) {
        connected = session.selectCcidReader(readerName) && session.connectCard();
        if (!connected)
            Sleep(100);
    }
    if (!connected) {
        std::fprintf(stderr, "bench_pcsc_win: no card connection on %s\n", readerName.c_str());
        return 1;
    }
    tarvex::modSmart& smart = session.smart();
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
    auto sendApdu = [&] {
        std::string reply;
        return session.SendAPDU(cmdHex, reply) == "9000";
    };
    std::vector<benchsupport::ApduVariant> variants{
        {"raw SCardTransmit", raw}, {"modSmart::TransmitApdu", layer}, {"ReaderSession::SendAPDU", sendApdu}};
    benchsupport::runRounds(variants, 50, rounds, perRound);
    session.CloseDevice();

    std::printf("APDU %s, %d samples per variant (Windows build under Wine, winscard.dll)\n", cmdHex.c_str(),
        rounds * perRound);
    benchsupport::printTable(variants);
    return 0;
}
