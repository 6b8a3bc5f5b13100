// serchan on Windows: SERCHAN.dll from the program's own folder, opened by
// full path (never the current folder or PATH, where a planted copy could
// sit) and each export bound at its first call.
#include "platform/serchan_api.h"

#include "platform/process.h"

#include <windows.h>

#include <mutex>

namespace tarvex {

namespace {

// The exports use the Windows API calling convention.
using OpenFn = int32_t(WINAPI*)(int32_t, uint32_t, int32_t);
using CloseFn = int32_t(WINAPI*)(int32_t);
using SendFn = int32_t(WINAPI*)(int32_t, const uint8_t*, uint32_t);
using ReceiveFn = int32_t(WINAPI*)(int32_t, uint8_t*, uint32_t);

constexpr int32_t kNoChannel = 0;
constexpr int32_t kPortFailed = -2;

class Module {
public:
    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module() {
        if (h_) FreeLibrary(h_);
    }
    void reset(HMODULE h) {
        if (h_) FreeLibrary(h_);
        h_ = h;
    }
    HMODULE get() const { return h_; }

private:
    HMODULE h_ = nullptr;
};

bool isFullPath(const std::string& p) {
    // Drive-letter path ("C:\...") or UNC path ("\\server\...").
    return (p.size() > 2 && p[1] == ':' && (p[2] == '\\' || p[2] == '/')) ||
           (p.size() > 2 && p[0] == '\\' && p[1] == '\\');
}

class SerchanDll final : public SerchanApi {
public:
    explicit SerchanDll(std::string path) : path_(std::move(path)) {}

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

    HMODULE library() {
        std::call_once(libOnce_, [this] {
            if (!isFullPath(path_)) return;
            // Altered search path: the DLL's own dependencies are looked up
            // beside it, not in the current folder.
            lib_.reset(LoadLibraryExA(path_.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        });
        return lib_.get();
    }

    template <typename F>
    F bind(Slot<F>& slot, const char* name) {
        std::call_once(slot.once, [&] {
            if (HMODULE l = library())
                slot.fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(l, name)));
        });
        return slot.fn;
    }

    std::string path_;
    std::once_flag libOnce_;
    Module lib_;
    Slot<OpenFn> open_;
    Slot<CloseFn> close_;
    Slot<SendFn> send_;
    Slot<ReceiveFn> receive_;
};

} // namespace

std::unique_ptr<SerchanApi> loadSerchanFrom(const std::string& fullPath) {
    return std::make_unique<SerchanDll>(fullPath);
}

std::unique_ptr<SerchanApi> loadSerchanBesideProgram() {
    const std::string dir = programDir();
    return loadSerchanFrom(dir.empty() ? std::string() : dir + "\\SERCHAN.dll");
}

} // namespace tarvex
