// PC/SC on Linux: pcsc-lite's client library, bound by name at the first
// call so that the program starts (and simply finds no readers) on a system
// without it.
//
// Connecting is the one call that gets special care. pcsc-lite's daemon
// makes SCardConnect wait, with no time limit, while another process holds
// a transaction on the reader, and SCardCancel does not end that wait. So
// each connect runs on a worker thread with a context of its own (calls on
// one context are serialised: a connect stuck on the window's context would
// stop every later call on it) and the caller waits only up to a deadline.
// Past it the reader is reported busy and the worker is left to finish on
// its own: when its connect returns at last, it lets the card go and
// releases its context. A connected card keeps the worker's context, which
// disconnect() releases.
#include "platform/pcsc.h"

#include "platform/dynlib.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tarvex::pcsc {

namespace {

// pcsc-lite's LONG and DWORD are `long` / `unsigned long` (64-bit here);
// its codes are the same 32-bit values as on Windows.
Result toResult(LONG rv)
{
    return Result(uint32_t(rv));
}

// A normal connect takes well under 100 ms; one that takes this long waits
// for another program.
constexpr std::chrono::milliseconds kConnectDeadline{2000};

struct Functions {
    decltype(&::SCardEstablishContext) establish = nullptr;
    decltype(&::SCardReleaseContext) release = nullptr;
    decltype(&::SCardIsValidContext) isValid = nullptr; // optional
    decltype(&::SCardListReaders) list = nullptr;
    decltype(&::SCardConnect) connect = nullptr;
    decltype(&::SCardStatus) status = nullptr;
    decltype(&::SCardBeginTransaction) begin = nullptr;
    decltype(&::SCardTransmit) transmit = nullptr;
    decltype(&::SCardEndTransaction) end = nullptr;
    decltype(&::SCardDisconnect) disconnect = nullptr;
    decltype(&::SCardGetStatusChange) getStatusChange = nullptr; // optional
    decltype(&::SCardCancel) cancel = nullptr;                   // optional
};

// The loaded library with its functions. Shared with connect workers, so a
// worker left waiting never calls into an unloaded library.
struct Binding {
    DynamicLibrary lib;
    Functions fn;
};

// A context of our own, released when the object goes.
class OwnedContext {
public:
    OwnedContext(std::shared_ptr<const Binding> b, SCARDCONTEXT c) : b_(std::move(b)), c_(c) { }
    OwnedContext(const OwnedContext&) = delete;
    OwnedContext& operator=(const OwnedContext&) = delete;
    OwnedContext(OwnedContext&& o) noexcept : b_(std::move(o.b_)), c_(std::exchange(o.c_, 0)) { }
    OwnedContext& operator=(OwnedContext&&) = delete;
    ~OwnedContext()
    {
        if (b_ && c_)
            b_->fn.release(c_);
    }

private:
    std::shared_ptr<const Binding> b_;
    SCARDCONTEXT c_ = 0;
};

// One connect attempt, shared by the caller and its worker; whichever is
// last frees it.
struct ConnectJob {
    std::shared_ptr<const Binding> binding;
    std::string reader;
    DWORD share = 0;
    DWORD protocols = 0;

    std::mutex m;
    std::condition_variable cv;
    bool finished = false;  // the worker is done with the service
    bool abandoned = false; // the caller stopped waiting
    LONG rv = SCARD_F_INTERNAL_ERROR;
    // Handed to the caller only on success within the deadline.
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE card = 0;
    DWORD active = 0;
};

void runConnect(const std::shared_ptr<ConnectJob>& job)
{
    const Functions& fn = job->binding->fn;
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE card = 0;
    DWORD active = 0;
    LONG rv = fn.establish(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
    const bool haveContext = rv == SCARD_S_SUCCESS;
    if (haveContext)
        rv = fn.connect(ctx, job->reader.c_str(), job->share, job->protocols, &card, &active);
    {
        std::lock_guard lock(job->m);
        if (rv == SCARD_S_SUCCESS && !job->abandoned) {
            job->rv = rv;
            job->ctx = ctx;
            job->card = card;
            job->active = active;
            job->finished = true;
            job->cv.notify_all();
            return;
        }
    }
    // Nobody takes this connection. Undo it before saying so, so that the
    // next connect to the reader does not run into it.
    if (rv == SCARD_S_SUCCESS)
        fn.disconnect(card, SCARD_LEAVE_CARD);
    if (haveContext)
        fn.release(ctx);
    std::lock_guard lock(job->m);
    job->rv = rv;
    job->finished = true;
    job->cv.notify_all();
}

bool isFinished(ConnectJob& job)
{
    std::lock_guard lock(job.m);
    return job.finished;
}

// The calls come from one thread (the window's); only the connect workers
// run beside it, and they touch nothing but their ConnectJob.
class PcscLite final : public Api {
public:
    Result establishContext(uint32_t scope, Context* ctx) override
    {
        if (!bind() || !ctx)
            return E_NO_SERVICE;
        SCARDCONTEXT c = 0;
        const LONG rv = fn_.establish(DWORD(scope), nullptr, nullptr, &c);
        if (rv == SCARD_S_SUCCESS)
            *ctx = Context(c);
        return toResult(rv);
    }
    Result releaseContext(Context ctx) override
    {
        if (!bind())
            return E_NO_SERVICE;
        // The cards connected through `ctx` die with it, as they would if
        // they were on it: their own contexts go first.
        std::erase_if(cards_, [ctx](const auto& e) { return e.second.parent == ctx; });
        return toResult(fn_.release(SCARDCONTEXT(ctx)));
    }
    Result listReaders(Context ctx, char* buf, uint32_t* len) override
    {
        if (!bind() || !len)
            return E_NO_SERVICE;
        DWORD n = *len;
        const LONG rv = fn_.list(SCARDCONTEXT(ctx), nullptr, buf, &n);
        *len = uint32_t(std::min<DWORD>(n, UINT32_MAX));
        return toResult(rv);
    }
    Result connect(Context ctx, const char* reader, uint32_t share, uint32_t protocols, Card* card,
        uint32_t* activeProtocol) override
    {
        if (!bind() || !reader || !card)
            return E_NO_SERVICE;
        // The caller's context is not used for the connect itself, but a
        // dead one must still be reported as such.
        if (fn_.isValid && fn_.isValid(SCARDCONTEXT(ctx)) != SCARD_S_SUCCESS)
            return E_INVALID_HANDLE;

        std::erase_if(pending_, [](const auto& e) { return isFinished(*e.second); });
        // An earlier connect to this reader still waits for another program:
        // it is busy, and a second waiting worker would only add to the pile.
        if (pending_.count(reader) != 0)
            return E_SHARING_VIOLATION;

        auto job = std::make_shared<ConnectJob>();
        job->binding = binding_;
        job->reader = reader;
        job->share = DWORD(share);
        job->protocols = DWORD(protocols);
        try {
            std::thread(runConnect, job).detach();
        } catch (const std::system_error&) {
            return toResult(SCARD_E_NO_MEMORY);
        }

        std::unique_lock lock(job->m);
        if (!job->cv.wait_for(lock, kConnectDeadline, [&] { return job->finished; })) {
            job->abandoned = true;
            lock.unlock();
            pending_.emplace(reader, std::move(job));
            return E_SHARING_VIOLATION;
        }
        if (job->rv != SCARD_S_SUCCESS)
            return toResult(job->rv);
        cards_.erase(Card(job->card));
        cards_.emplace(Card(job->card), CardContext{ctx, OwnedContext(binding_, job->ctx)});
        *card = Card(job->card);
        if (activeProtocol)
            *activeProtocol = uint32_t(job->active);
        return S_SUCCESS;
    }
    Result status(Card card, uint32_t* state, uint32_t* protocol, uint8_t* atr, uint32_t* atrLen) override
    {
        if (!bind())
            return E_NO_SERVICE;
        DWORD nameLen = 0;
        DWORD st = 0;
        DWORD pr = protocol ? *protocol : 0;
        DWORD n = atrLen ? *atrLen : 0;
        // The reader name is not wanted: a null buffer asks only for its length.
        const LONG rv = fn_.status(SCARDHANDLE(card), nullptr, &nameLen, &st, &pr, atr, atrLen ? &n : nullptr);
        if (state)
            *state = uint32_t(st);
        if (protocol)
            *protocol = uint32_t(pr);
        if (atrLen)
            *atrLen = uint32_t(std::min<DWORD>(n, UINT32_MAX));
        return toResult(rv);
    }
    Result beginTransaction(Card card) override
    {
        if (!bind())
            return E_NO_SERVICE;
        return toResult(fn_.begin(SCARDHANDLE(card)));
    }
    Result transmit(
        Card card, uint32_t protocol, const uint8_t* send, uint32_t sendLen, uint8_t* recv, uint32_t* recvLen) override
    {
        if (!bind() || !recvLen)
            return E_NO_SERVICE;
        SCARD_IO_REQUEST sendPci{DWORD(protocol), sizeof(SCARD_IO_REQUEST)};
        SCARD_IO_REQUEST recvPci{DWORD(protocol), sizeof(SCARD_IO_REQUEST)};
        DWORD n = *recvLen;
        const LONG rv = fn_.transmit(SCARDHANDLE(card), &sendPci, send, DWORD(sendLen), &recvPci, recv, &n);
        *recvLen = uint32_t(std::min<DWORD>(n, UINT32_MAX));
        return toResult(rv);
    }
    Result endTransaction(Card card, uint32_t disposition) override
    {
        if (!bind())
            return E_NO_SERVICE;
        return toResult(fn_.end(SCARDHANDLE(card), DWORD(disposition)));
    }
    Result disconnect(Card card, uint32_t disposition) override
    {
        if (!bind())
            return E_NO_SERVICE;
        const LONG rv = fn_.disconnect(SCARDHANDLE(card), DWORD(disposition));
        cards_.erase(card); // its context goes with it
        return toResult(rv);
    }
    uint32_t protocolRaw() const override { return SCARD_PROTOCOL_RAW; }
    Result getStatusChange(Context ctx, uint32_t timeoutMs, ReaderState* states, uint32_t count) override
    {
        if (!bind() || (count > 0 && !states))
            return E_NO_SERVICE;
        if (!fn_.getStatusChange)
            return E_UNSUPPORTED_FEATURE;
        std::vector<SCARD_READERSTATE> rs(count);
        for (uint32_t i = 0; i < count; ++i) {
            rs[i].szReader = states[i].reader;
            rs[i].dwCurrentState = states[i].currentState;
        }
        const LONG rv = fn_.getStatusChange(SCARDCONTEXT(ctx), DWORD(timeoutMs), rs.data(), DWORD(count));
        for (uint32_t i = 0; i < count; ++i)
            states[i].eventState = uint32_t(rs[i].dwEventState);
        return toResult(rv);
    }
    Result cancel(Context ctx) override
    {
        if (!bind() || !fn_.cancel)
            return E_NO_SERVICE;
        return toResult(fn_.cancel(SCARDCONTEXT(ctx)));
    }

private:
    // Loads the library once; every function must be there, or none is used.
    bool bind()
    {
        std::call_once(once_, [this] {
            auto b = std::make_shared<Binding>();
            b->lib = DynamicLibrary::openSystem("libpcsclite.so.1");
            const DynamicLibrary& lib = b->lib;
            Functions& f = b->fn;
            if (lib.bind("SCardEstablishContext", f.establish) && lib.bind("SCardReleaseContext", f.release)
                && lib.bind("SCardListReaders", f.list) && lib.bind("SCardConnect", f.connect)
                && lib.bind("SCardStatus", f.status) && lib.bind("SCardBeginTransaction", f.begin)
                && lib.bind("SCardTransmit", f.transmit) && lib.bind("SCardEndTransaction", f.end)
                && lib.bind("SCardDisconnect", f.disconnect)) {
                lib.bind("SCardIsValidContext", f.isValid);
                lib.bind("SCardGetStatusChange", f.getStatusChange);
                lib.bind("SCardCancel", f.cancel);
                fn_ = f;
                binding_ = std::move(b);
                bound_ = true;
            }
        });
        return bound_;
    }

    struct CardContext {
        Context parent; // the context the caller connected through
        OwnedContext own;
    };

    std::once_flag once_;
    std::shared_ptr<const Binding> binding_;
    Functions fn_;
    bool bound_ = false;
    // Declared after binding_, so they go before it.
    std::map<Card, CardContext> cards_;
    // Connects abandoned at the deadline whose workers still run, by reader.
    std::map<std::string, std::shared_ptr<ConnectJob>> pending_;
};

} // namespace

std::unique_ptr<Api> loadSystemPcsc()
{
    return std::make_unique<PcscLite>();
}

} // namespace tarvex::pcsc
