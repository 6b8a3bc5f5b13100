// PC/SC on Windows: winscard.dll, loaded from the system folder only (never
// the current folder or PATH) and bound by name at the first call.
#include "platform/pcsc.h"
#include "platform/pcsc_win32.h"

#include "platform/dynlib.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace tarvex::pcsc {

namespace {

using SCARDCONTEXT_ = ULONG_PTR;
using SCARDHANDLE_ = ULONG_PTR;

// SCARD_IO_REQUEST: protocol then header length, 8 bytes in all.
struct IoRequest {
    DWORD dwProtocol;
    DWORD cbPciLength;
};
static_assert(sizeof(IoRequest) == 8);

using EstablishFn = LONG(WINAPI*)(DWORD, LPCVOID, LPCVOID, SCARDCONTEXT_*);
using ReleaseFn = LONG(WINAPI*)(SCARDCONTEXT_);
using ListFn = LONG(WINAPI*)(SCARDCONTEXT_, LPCSTR, LPSTR, LPDWORD);
using ConnectFn = LONG(WINAPI*)(SCARDCONTEXT_, LPCSTR, DWORD, DWORD, SCARDHANDLE_*, LPDWORD);
using StateFn = LONG(WINAPI*)(SCARDHANDLE_, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using StatusFn = LONG(WINAPI*)(SCARDHANDLE_, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using BeginFn = LONG(WINAPI*)(SCARDHANDLE_);
using TransmitFn = LONG(WINAPI*)(SCARDHANDLE_, const IoRequest*, const BYTE*, DWORD, IoRequest*, LPBYTE, LPDWORD);
using EndFn = LONG(WINAPI*)(SCARDHANDLE_, DWORD);
using DisconnectFn = LONG(WINAPI*)(SCARDHANDLE_, DWORD);
using CancelFn = LONG(WINAPI*)(SCARDCONTEXT_);

// SCARD_READERSTATEA: reader name, user data, current and event state, ATR.
struct ReaderStateA {
    LPCSTR szReader;
    LPVOID pvUserData;
    DWORD dwCurrentState;
    DWORD dwEventState;
    DWORD cbAtr;
    BYTE rgbAtr[36];
};
using GetStatusChangeFn = LONG(WINAPI*)(SCARDCONTEXT_, DWORD, ReaderStateA*, DWORD);

constexpr uint32_t kProtocolRaw = 0x10000;

Result toResult(LONG rv)
{
    return Result(rv);
}

class Winscard final : public Api {
public:
    // Without a path: winscard.dll from the system folder.
    Winscard() = default;
    explicit Winscard(std::string path) : path_(std::move(path)), fromSystem_(false) { }

    Result establishContext(uint32_t scope, Context* ctx) override
    {
        if (!bind() || !ctx)
            return E_NO_SERVICE;
        SCARDCONTEXT_ c = 0;
        const LONG rv = fn_.establish(DWORD(scope), nullptr, nullptr, &c);
        if (rv == 0)
            *ctx = Context(c);
        return toResult(rv);
    }
    Result releaseContext(Context ctx) override
    {
        if (!bind())
            return E_NO_SERVICE;
        return toResult(fn_.release(SCARDCONTEXT_(ctx)));
    }
    Result listReaders(Context ctx, char* buf, uint32_t* len) override
    {
        if (!bind() || !len)
            return E_NO_SERVICE;
        DWORD n = *len;
        const LONG rv = fn_.list(SCARDCONTEXT_(ctx), nullptr, buf, &n);
        *len = n;
        return toResult(rv);
    }
    Result connect(Context ctx, const char* reader, uint32_t share, uint32_t protocols, Card* card,
        uint32_t* activeProtocol) override
    {
        if (!bind() || !reader || !card)
            return E_NO_SERVICE;
        SCARDHANDLE_ h = 0;
        DWORD active = 0;
        const LONG rv = fn_.connect(SCARDCONTEXT_(ctx), reader, share, protocols, &h, &active);
        if (rv == 0) {
            *card = Card(h);
            if (activeProtocol)
                *activeProtocol = active;
        }
        return toResult(rv);
    }
    Result status(Card card, uint32_t* state, uint32_t* protocol, uint8_t* atr, uint32_t* atrLen) override
    {
        if (!bind())
            return E_NO_SERVICE;
        DWORD st = 0;
        DWORD pr = protocol ? *protocol : 0;
        DWORD n = atrLen ? *atrLen : 0;
        LONG rv;
        if (fn_.status) {
            DWORD nameLen = 0; // name not wanted: null buffer asks for the length only
            rv = fn_.status(SCARDHANDLE_(card), nullptr, &nameLen, &st, &pr, atr, atrLen ? &n : nullptr);
        } else {
            rv = fn_.state(SCARDHANDLE_(card), &st, &pr, atr, atrLen ? &n : nullptr);
        }
        if (state)
            *state = st;
        if (protocol)
            *protocol = pr;
        if (atrLen)
            *atrLen = n;
        return toResult(rv);
    }
    Result beginTransaction(Card card) override
    {
        if (!bind())
            return E_NO_SERVICE;
        return toResult(fn_.begin(SCARDHANDLE_(card)));
    }
    Result transmit(
        Card card, uint32_t protocol, const uint8_t* send, uint32_t sendLen, uint8_t* recv, uint32_t* recvLen) override
    {
        if (!bind() || !recvLen)
            return E_NO_SERVICE;
        const IoRequest sendPci{protocol, sizeof(IoRequest)};
        IoRequest recvPci{protocol, sizeof(IoRequest)};
        DWORD n = *recvLen;
        const LONG rv = fn_.transmit(SCARDHANDLE_(card), &sendPci, send, sendLen, &recvPci, recv, &n);
        *recvLen = n;
        return toResult(rv);
    }
    Result endTransaction(Card card, uint32_t disposition) override
    {
        if (!bind())
            return E_NO_SERVICE;
        return toResult(fn_.end(SCARDHANDLE_(card), disposition));
    }
    Result disconnect(Card card, uint32_t disposition) override
    {
        if (!bind())
            return E_NO_SERVICE;
        return toResult(fn_.disconnect(SCARDHANDLE_(card), disposition));
    }
    uint32_t protocolRaw() const override { return kProtocolRaw; }
    bool serviceStartsWithReaders() const override { return true; }
    Result getStatusChange(Context ctx, uint32_t timeoutMs, ReaderState* states, uint32_t count) override
    {
        if (!bind() || (count > 0 && !states))
            return E_NO_SERVICE;
        if (!fn_.getStatusChange)
            return E_UNSUPPORTED_FEATURE;
        std::vector<ReaderStateA> rs(count);
        for (uint32_t i = 0; i < count; ++i) {
            rs[i] = ReaderStateA{};
            rs[i].szReader = states[i].reader;
            rs[i].dwCurrentState = states[i].currentState;
        }
        const LONG rv = fn_.getStatusChange(SCARDCONTEXT_(ctx), timeoutMs, rs.data(), count);
        for (uint32_t i = 0; i < count; ++i)
            states[i].eventState = rs[i].dwEventState;
        return toResult(rv);
    }
    Result cancel(Context ctx) override
    {
        if (!bind() || !fn_.cancel)
            return E_NO_SERVICE;
        return toResult(fn_.cancel(SCARDCONTEXT_(ctx)));
    }

private:
    struct Functions {
        EstablishFn establish = nullptr;
        ReleaseFn release = nullptr;
        ListFn list = nullptr;
        ConnectFn connect = nullptr;
        // SCardStatusA wherever it is exported: it is the documented call and
        // every winscard implements it, while some export SCardState only as
        // a stub that aborts the process (Wine). The older SCardState, which
        // gives the same state, protocol and ATR, is the fallback.
        StatusFn status = nullptr;
        StateFn state = nullptr;
        BeginFn begin = nullptr;
        TransmitFn transmit = nullptr;
        EndFn end = nullptr;
        DisconnectFn disconnect = nullptr;
        GetStatusChangeFn getStatusChange = nullptr; // optional: only the device watch needs it
        CancelFn cancel = nullptr;                   // optional
    };

    bool bind()
    {
        std::call_once(once_, [this] {
            DynamicLibrary lib
                = fromSystem_ ? DynamicLibrary::openSystem("winscard.dll") : DynamicLibrary::openFullPath(path_);
            Functions f;
            const bool haveState = lib.bind("SCardState", f.state);
            const bool haveStatus = lib.bind("SCardStatusA", f.status);
            if ((haveState || haveStatus) && lib.bind("SCardEstablishContext", f.establish)
                && lib.bind("SCardReleaseContext", f.release) && lib.bind("SCardListReadersA", f.list)
                && lib.bind("SCardConnectA", f.connect) && lib.bind("SCardBeginTransaction", f.begin)
                && lib.bind("SCardTransmit", f.transmit) && lib.bind("SCardEndTransaction", f.end)
                && lib.bind("SCardDisconnect", f.disconnect)) {
                lib.bind("SCardGetStatusChangeA", f.getStatusChange);
                lib.bind("SCardCancel", f.cancel);
                fn_ = f;
                lib_ = std::move(lib);
                bound_ = true;
            }
        });
        return bound_;
    }

    std::string path_;
    bool fromSystem_ = true;
    std::once_flag once_;
    DynamicLibrary lib_;
    Functions fn_;
    bool bound_ = false;
};

} // namespace

std::unique_ptr<Api> loadSystemPcsc()
{
    return std::make_unique<Winscard>();
}

std::unique_ptr<Api> loadWinscardFrom(const std::string& path)
{
    // Never the system library: an empty or partial path binds nothing.
    return std::make_unique<Winscard>(path);
}

} // namespace tarvex::pcsc
