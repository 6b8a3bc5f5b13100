// serchan on Linux: libserchan.so from the program's own folder, opened by
// full path (never through the loader's search path) and each export bound
// at its first call.
#include "platform/serchan_api.h"

#include "platform/process.h"

#include <dlfcn.h>

#include <mutex>

namespace tarvex {

namespace {

using OpenFn = int32_t (*)(int32_t, uint32_t, int32_t);
using CloseFn = int32_t (*)(int32_t);
using SendFn = int32_t (*)(int32_t, const uint8_t*, uint32_t);
using ReceiveFn = int32_t (*)(int32_t, uint8_t*, uint32_t);

// What the calls give when the library or the export is missing: no channel,
// and the port-failure code for the data calls.
constexpr int32_t kNoChannel = 0;
constexpr int32_t kPortFailed = -2;

class DlHandle {
public:
    DlHandle() = default;
    DlHandle(const DlHandle&) = delete;
    DlHandle& operator=(const DlHandle&) = delete;
    ~DlHandle() {
        if (h_) dlclose(h_);
    }
    void reset(void* h) {
        if (h_) dlclose(h_);
        h_ = h;
    }
    void* get() const { return h_; }

private:
    void* h_ = nullptr;
};

class SerchanLib final : public SerchanApi {
public:
    explicit SerchanLib(std::string path) : path_(std::move(path)) {}

    int32_t open(int32_t port, uint32_t baudRate, int32_t options) override {
        auto f = bind(open_, "SCOpenChannel");
        return f ? f(port, baudRate, options) : kNoChannel;
    }
    int32_t close(int32_t channel) override {
        auto f = bind(close_, "SCCloseChannel");
        return f ? f(channel) : 0;
    }
    int32_t send(int32_t channel, const uint8_t* data, uint32_t length) override {
        auto f = bind(send_, "SCSend");
        return f ? f(channel, data, length) : kPortFailed;
    }
    int32_t receive(int32_t channel, uint8_t* buffer, uint32_t capacity) override {
        auto f = bind(receive_, "SCReceive");
        return f ? f(channel, buffer, capacity) : kPortFailed;
    }

private:
    template <typename F>
    struct Slot {
        std::once_flag once;
        F fn = nullptr;
    };

    void* library() {
        std::call_once(libOnce_, [this] {
            // Only a full path: a bare name would let the loader pick up any
            // libserchan.so on its search path.
            if (path_.find('/') == std::string::npos) return;
            lib_.reset(dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL));
        });
        return lib_.get();
    }

    template <typename F>
    F bind(Slot<F>& slot, const char* name) {
        std::call_once(slot.once, [&] {
            if (void* l = library()) slot.fn = reinterpret_cast<F>(dlsym(l, name));
        });
        return slot.fn;
    }

    std::string path_;
    std::once_flag libOnce_;
    DlHandle lib_;
    Slot<OpenFn> open_;
    Slot<CloseFn> close_;
    Slot<SendFn> send_;
    Slot<ReceiveFn> receive_;
};

} // namespace

std::unique_ptr<SerchanApi> loadSerchanFrom(const std::string& fullPath) {
    return std::make_unique<SerchanLib>(fullPath);
}

std::unique_ptr<SerchanApi> loadSerchanBesideProgram() {
    const std::string dir = programDir();
    // Without our own folder there is nowhere safe to load from.
    return loadSerchanFrom(dir.empty() ? std::string() : dir + "/libserchan.so");
}

} // namespace tarvex
