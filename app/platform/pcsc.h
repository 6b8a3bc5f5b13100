// The PC/SC calls the program needs, as one small interface. The production
// implementation binds the system library by name at the first call
// (winscard.dll from the system directory on Windows, libpcsclite.so.1 on
// Linux); a missing library or function makes every call fail with
// SCARD_E_NO_SERVICE instead of crashing. Tests substitute a fake.
#pragma once
#include <cstdint>
#include <memory>

namespace tarvex::pcsc {

using Context = uintptr_t;
using Card = uintptr_t;
using Result = int32_t;

// Result codes with their Windows / pcsc-lite values (identical on both).
constexpr Result S_SUCCESS = 0;
constexpr Result WIN_ERROR_INVALID_HANDLE = 6;
constexpr Result F_INTERNAL_ERROR = int32_t(0x80100001u);
constexpr Result E_INVALID_HANDLE = int32_t(0x80100003u);
constexpr Result E_INVALID_PARAMETER = int32_t(0x80100004u);
constexpr Result E_INSUFFICIENT_BUFFER = int32_t(0x80100008u);
constexpr Result E_UNKNOWN_READER = int32_t(0x80100009u);
constexpr Result E_SHARING_VIOLATION = int32_t(0x8010000Bu);
constexpr Result E_NO_SMARTCARD = int32_t(0x8010000Cu);
constexpr Result F_COMM_ERROR = int32_t(0x80100013u);
constexpr Result E_READER_UNAVAILABLE = int32_t(0x80100017u);
constexpr Result E_NO_SERVICE = int32_t(0x8010001Du);
constexpr Result E_SERVICE_STOPPED = int32_t(0x8010001Eu);
constexpr Result E_NO_READERS_AVAILABLE = int32_t(0x8010002Eu);
constexpr Result E_NO_ACCESS = int32_t(0x80100027u);
constexpr Result W_RESET_CARD = int32_t(0x80100068u);
constexpr Result W_REMOVED_CARD = int32_t(0x80100069u);
constexpr Result W_SECURITY_VIOLATION = int32_t(0x8010006Au);
// "Not supported" is the one code whose values differ: Windows uses
// 0x80100022, pcsc-lite 0x8010001F (Windows's SCARD_E_UNEXPECTED), and
// Wine's winscard passes pcsc-lite's value through.
constexpr Result E_UNSUPPORTED_FEATURE = int32_t(0x80100022u);
constexpr Result E_UNSUPPORTED_FEATURE_PCSCLITE = int32_t(0x8010001Fu);

constexpr uint32_t SCOPE_SYSTEM = 2;
constexpr uint32_t SHARE_EXCLUSIVE = 1;
constexpr uint32_t SHARE_SHARED = 2;
constexpr uint32_t PROTOCOL_T0 = 1;
constexpr uint32_t PROTOCOL_T1 = 2;
constexpr uint32_t LEAVE_CARD = 0;
constexpr uint32_t STATE_UNAWARE = 0;
constexpr uint32_t STATE_CHANGED = 2;
constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFFu;
constexpr Result E_CANCELLED = int32_t(0x80100002u);
constexpr Result E_TIMEOUT = int32_t(0x8010000Au);

// The pseudo reader whose state changes whenever a reader is added or removed.
inline constexpr const char* kPnpNotification = "\\\\?PnP?\\Notification";

// One entry of a status-change wait, as SCARD_READERSTATE without the ATR.
struct ReaderState {
    const char* reader = nullptr;
    uint32_t currentState = STATE_UNAWARE;
    uint32_t eventState = 0;
};
constexpr uint32_t UNPOWER_CARD = 2;

class Api {
public:
    virtual ~Api() = default;
    virtual Result establishContext(uint32_t scope, Context* ctx) = 0;
    virtual Result releaseContext(Context ctx) = 0;
    // groups = all readers; `len` in/out in characters, as SCardListReadersA.
    virtual Result listReaders(Context ctx, char* buf, uint32_t* len) = 0;
    virtual Result connect(
        Context ctx, const char* reader, uint32_t share, uint32_t protocols, Card* card, uint32_t* activeProtocol)
        = 0;
    // SCardState where the platform has it, else SCardStatus.
    virtual Result status(Card card, uint32_t* state, uint32_t* protocol, uint8_t* atr, uint32_t* atrLen) = 0;
    virtual Result beginTransaction(Card card) = 0;
    // `protocol` fills both I/O request headers (send and receive).
    virtual Result transmit(
        Card card, uint32_t protocol, const uint8_t* send, uint32_t sendLen, uint8_t* recv, uint32_t* recvLen)
        = 0;
    virtual Result endTransaction(Card card, uint32_t disposition) = 0;
    virtual Result disconnect(Card card, uint32_t disposition) = 0;
    // SCARD_PROTOCOL_RAW differs between platforms (0x10000 Windows, 4 pcsc-lite).
    virtual uint32_t protocolRaw() const = 0;
    // Waits until one of `states` differs from its currentState (eventState
    // then says how), the time-out passes, or cancel() is called on `ctx`
    // from another thread. Bindings without it say it is not supported.
    virtual Result getStatusChange(Context, uint32_t /*timeoutMs*/, ReaderState*, uint32_t /*count*/)
    {
        return E_UNSUPPORTED_FEATURE;
    }
    virtual Result cancel(Context) { return E_NO_SERVICE; }
    // Whether the service runs only while a reader is attached, so that
    // "no service" there means "no reader" (Windows starts the smart-card
    // service with the first reader and stops it with the last). Where it
    // is a daemon that should always answer (pcscd, started through its
    // socket), no service is a service that is missing.
    virtual bool serviceStartsWithReaders() const { return false; }
};

std::unique_ptr<Api> loadSystemPcsc();

} // namespace tarvex::pcsc
