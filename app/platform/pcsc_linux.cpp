// PC/SC on Linux: pcsc-lite's client library, bound by name at the first
// call so that the program starts (and simply finds no readers) on a system
// without it.
#include "platform/pcsc.h"

#include "platform/dynlib.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <mutex>

namespace tarvex::pcsc {

namespace {

// pcsc-lite's LONG and DWORD are `long` / `unsigned long` (64-bit here);
// its codes are the same 32-bit values as on Windows.
Result toResult(LONG rv) { return Result(uint32_t(rv)); }

class PcscLite final : public Api {
public:
    Result establishContext(uint32_t scope, Context* ctx) override {
        if (!bind() || !ctx) return E_NO_SERVICE;
        SCARDCONTEXT c = 0;
        const LONG rv = fn_.establish(DWORD(scope), nullptr, nullptr, &c);
        if (rv == SCARD_S_SUCCESS) *ctx = Context(c);
        return toResult(rv);
    }
    Result releaseContext(Context ctx) override {
        if (!bind()) return E_NO_SERVICE;
        return toResult(fn_.release(SCARDCONTEXT(ctx)));
    }
    Result listReaders(Context ctx, char* buf, uint32_t* len) override {
        if (!bind() || !len) return E_NO_SERVICE;
        DWORD n = *len;
        const LONG rv = fn_.list(SCARDCONTEXT(ctx), nullptr, buf, &n);
        *len = uint32_t(std::min<DWORD>(n, UINT32_MAX));
        return toResult(rv);
    }
    Result connect(Context ctx, const char* reader, uint32_t share, uint32_t protocols, Card* card,
                   uint32_t* activeProtocol) override {
        if (!bind() || !reader || !card) return E_NO_SERVICE;
        SCARDHANDLE h = 0;
        DWORD active = 0;
        const LONG rv = fn_.connect(SCARDCONTEXT(ctx), reader, DWORD(share), DWORD(protocols), &h, &active);
        if (rv == SCARD_S_SUCCESS) {
            *card = Card(h);
            if (activeProtocol) *activeProtocol = uint32_t(active);
        }
        return toResult(rv);
    }
    Result status(Card card, uint32_t* state, uint32_t* protocol, uint8_t* atr,
                  uint32_t* atrLen) override {
        if (!bind()) return E_NO_SERVICE;
        DWORD nameLen = 0;
        DWORD st = 0;
        DWORD pr = protocol ? *protocol : 0;
        DWORD n = atrLen ? *atrLen : 0;
        // The reader name is not wanted: a null buffer asks only for its length.
        const LONG rv = fn_.status(SCARDHANDLE(card), nullptr, &nameLen, &st, &pr, atr, atrLen ? &n : nullptr);
        if (state) *state = uint32_t(st);
        if (protocol) *protocol = uint32_t(pr);
        if (atrLen) *atrLen = uint32_t(std::min<DWORD>(n, UINT32_MAX));
        return toResult(rv);
    }
    Result beginTransaction(Card card) override {
        if (!bind()) return E_NO_SERVICE;
        return toResult(fn_.begin(SCARDHANDLE(card)));
    }
    Result transmit(Card card, uint32_t protocol, const uint8_t* send, uint32_t sendLen, uint8_t* recv,
                    uint32_t* recvLen) override {
        if (!bind() || !recvLen) return E_NO_SERVICE;
        SCARD_IO_REQUEST sendPci{DWORD(protocol), sizeof(SCARD_IO_REQUEST)};
        SCARD_IO_REQUEST recvPci{DWORD(protocol), sizeof(SCARD_IO_REQUEST)};
        DWORD n = *recvLen;
        const LONG rv = fn_.transmit(SCARDHANDLE(card), &sendPci, send, DWORD(sendLen), &recvPci, recv, &n);
        *recvLen = uint32_t(std::min<DWORD>(n, UINT32_MAX));
        return toResult(rv);
    }
    Result endTransaction(Card card, uint32_t disposition) override {
        if (!bind()) return E_NO_SERVICE;
        return toResult(fn_.end(SCARDHANDLE(card), DWORD(disposition)));
    }
    Result disconnect(Card card, uint32_t disposition) override {
        if (!bind()) return E_NO_SERVICE;
        return toResult(fn_.disconnect(SCARDHANDLE(card), DWORD(disposition)));
    }
    uint32_t protocolRaw() const override { return SCARD_PROTOCOL_RAW; }

private:
    struct Functions {
        decltype(&::SCardEstablishContext) establish = nullptr;
        decltype(&::SCardReleaseContext) release = nullptr;
        decltype(&::SCardListReaders) list = nullptr;
        decltype(&::SCardConnect) connect = nullptr;
        decltype(&::SCardStatus) status = nullptr;
        decltype(&::SCardBeginTransaction) begin = nullptr;
        decltype(&::SCardTransmit) transmit = nullptr;
        decltype(&::SCardEndTransaction) end = nullptr;
        decltype(&::SCardDisconnect) disconnect = nullptr;
    };

    // Loads the library once; every function must be there, or none is used.
    bool bind() {
        std::call_once(once_, [this] {
            DynamicLibrary lib = DynamicLibrary::openSystem("libpcsclite.so.1");
            Functions f;
            if (lib.bind("SCardEstablishContext", f.establish) && lib.bind("SCardReleaseContext", f.release) &&
                lib.bind("SCardListReaders", f.list) && lib.bind("SCardConnect", f.connect) &&
                lib.bind("SCardStatus", f.status) && lib.bind("SCardBeginTransaction", f.begin) &&
                lib.bind("SCardTransmit", f.transmit) && lib.bind("SCardEndTransaction", f.end) &&
                lib.bind("SCardDisconnect", f.disconnect)) {
                fn_ = f;
                lib_ = std::move(lib);
                bound_ = true;
            }
        });
        return bound_;
    }

    std::once_flag once_;
    DynamicLibrary lib_;
    Functions fn_;
    bool bound_ = false;
};

} // namespace

std::unique_ptr<Api> loadSystemPcsc() { return std::make_unique<PcscLite>(); }

} // namespace tarvex::pcsc
