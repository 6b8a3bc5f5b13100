// A stand-in for winscard.dll with the same exports and calling convention.
// It records what each call was given and answers what the test set in its
// shared state (FakeScardState). Built in four variants: complete, with only
// SCardStatusA (FAKE_NO_STATE), with only SCardState (FAKE_NO_STATUS), and
// without SCardTransmit (FAKE_NO_TRANSMIT).
#include "fake_winscard.h"

#include <cstring>

namespace {
FakeScard g_state;

void copyCapped(BYTE* to, DWORD* toLen, const BYTE* from, DWORD fromLen)
{
    const DWORD n = fromLen < *toLen ? fromLen : *toLen;
    std::memcpy(to, from, n);
    *toLen = n;
}
} // namespace

#define FAKE_EXPORT extern "C" __declspec(dllexport)

FAKE_EXPORT FakeScard* WINAPI FakeScardState()
{
    return &g_state;
}

FAKE_EXPORT LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, ULONG_PTR* ctx)
{
    g_state.calls.establish++;
    g_state.in.scope = scope;
    if (g_state.result.establish == 0)
        *ctx = g_state.out.context;
    return g_state.result.establish;
}

FAKE_EXPORT LONG WINAPI SCardReleaseContext(ULONG_PTR ctx)
{
    g_state.in.context = ctx;
    return 0;
}

FAKE_EXPORT LONG WINAPI SCardListReadersA(ULONG_PTR ctx, LPCSTR groups, LPSTR buffer, LPDWORD length)
{
    g_state.in.context = ctx;
    g_state.in.groupsWasNull = groups == nullptr;
    if (g_state.result.list != 0)
        return g_state.result.list;
    if (!buffer) {
        *length = g_state.out.readersLength;
        return 0;
    }
    if (*length < g_state.out.readersLength) {
        *length = g_state.out.readersLength;
        return LONG(0x80100008); // insufficient buffer
    }
    std::memcpy(buffer, g_state.out.readers, g_state.out.readersLength);
    *length = g_state.out.readersLength;
    return 0;
}

FAKE_EXPORT LONG WINAPI SCardConnectA(
    ULONG_PTR ctx, LPCSTR reader, DWORD share, DWORD protocols, ULONG_PTR* card, LPDWORD active)
{
    g_state.in.context = ctx;
    lstrcpynA(g_state.in.reader, reader, sizeof g_state.in.reader);
    g_state.in.share = share;
    g_state.in.protocols = protocols;
    if (g_state.result.connect != 0)
        return g_state.result.connect;
    *card = g_state.out.card;
    *active = g_state.out.activeProtocol;
    return 0;
}

#ifndef FAKE_NO_STATE
FAKE_EXPORT LONG WINAPI SCardState(ULONG_PTR card, LPDWORD state, LPDWORD protocol, LPBYTE atr, LPDWORD atrLen)
{
    g_state.calls.state++;
    g_state.in.card = card;
    *state = g_state.out.state;
    *protocol = g_state.out.activeProtocol;
    copyCapped(atr, atrLen, g_state.out.atr, g_state.out.atrLength);
    return g_state.result.status;
}
#endif

#ifndef FAKE_NO_STATUS
FAKE_EXPORT LONG WINAPI SCardStatusA(
    ULONG_PTR card, LPSTR, LPDWORD nameLen, LPDWORD state, LPDWORD protocol, LPBYTE atr, LPDWORD atrLen)
{
    g_state.calls.status++;
    g_state.in.card = card;
    *nameLen = 0;
    *state = g_state.out.state;
    *protocol = g_state.out.activeProtocol;
    copyCapped(atr, atrLen, g_state.out.atr, g_state.out.atrLength);
    return g_state.result.status;
}
#endif

FAKE_EXPORT LONG WINAPI SCardBeginTransaction(ULONG_PTR card)
{
    g_state.in.card = card;
    return g_state.result.begin;
}

#ifndef FAKE_NO_TRANSMIT
FAKE_EXPORT LONG WINAPI SCardTransmit(ULONG_PTR card, const FakeIoRequest* sendPci, const BYTE* send, DWORD sendLen,
    FakeIoRequest* recvPci, LPBYTE recv, LPDWORD recvLen)
{
    g_state.in.card = card;
    g_state.in.sendPci = *sendPci;
    g_state.in.recvPciGiven = recvPci != nullptr;
    g_state.in.sentLength = sendLen < sizeof g_state.in.sent ? sendLen : sizeof g_state.in.sent;
    std::memcpy(g_state.in.sent, send, g_state.in.sentLength);
    if (g_state.result.transmit != 0)
        return g_state.result.transmit;
    copyCapped(recv, recvLen, g_state.out.reply, g_state.out.replyLength);
    return 0;
}
#endif

FAKE_EXPORT LONG WINAPI SCardEndTransaction(ULONG_PTR card, DWORD disposition)
{
    g_state.in.card = card;
    g_state.in.endDisposition = disposition;
    return g_state.result.end;
}

FAKE_EXPORT LONG WINAPI SCardDisconnect(ULONG_PTR card, DWORD disposition)
{
    g_state.in.card = card;
    g_state.in.disconnectDisposition = disposition;
    return g_state.result.disconnect;
}
