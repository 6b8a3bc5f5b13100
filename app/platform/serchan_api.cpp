// serchan from the program's own folder (SERCHAN.dll / libserchan.so),
// opened by full path only and each export bound at its first call, so a
// missing library or export fails that call instead of the program.
#include "platform/serchan_api.h"

#include "platform/dynlib.h"
#include "platform/process.h"

#include <serchan.h>

#include <mutex>

namespace tarvex {

namespace {

// Taken from the library's own declarations, so the calling convention
// (__stdcall on 32-bit Windows) cannot drift from the exports.
using OpenFn = decltype(&::SCOpenChannel);
using CloseFn = decltype(&::SCCloseChannel);
using SendFn = decltype(&::SCSend);
using ReceiveFn = decltype(&::SCReceive);

// What the calls give when the library or the export is missing: no channel,
// and the port-failure code for the data calls.
constexpr int32_t kNoChannel = 0;
constexpr int32_t kPortFailed = SC_ERR_PORT;

#if defined(_WIN32)
constexpr char kLibraryInFolder[] = "\\SERCHAN.dll";
#else
constexpr char kLibraryInFolder[] = "/libserchan.so";
#endif

class SerchanLib final : public SerchanApi {
public:
    explicit SerchanLib(std::string path) : path_(std::move(path)) { }

    int32_t open(int32_t port, uint32_t baudRate, int32_t options) override
    {
        auto f = bind(open_, "SCOpenChannel");
        return f ? f(port, baudRate, options) : kNoChannel;
    }
    int32_t close(int32_t channel) override
    {
        auto f = bind(close_, "SCCloseChannel");
        return f ? f(channel) : 0;
    }
    int32_t send(int32_t channel, const uint8_t* data, uint32_t length) override
    {
        auto f = bind(send_, "SCSend");
        return f ? f(channel, data, length) : kPortFailed;
    }
    int32_t receive(int32_t channel, uint8_t* buffer, uint32_t capacity) override
    {
        auto f = bind(receive_, "SCReceive");
        return f ? f(channel, buffer, capacity) : kPortFailed;
    }
    std::string loadProblem() override
    {
        if (path_.empty())
            return "the program's own folder is not known, so " + std::string(kLibraryInFolder + 1)
                + " is not loaded from anywhere";
        if (!library().isOpen())
            return path_ + " could not be loaded";
        // The four exports, bound as the calls would bind them.
        if (!bind(open_, "SCOpenChannel"))
            return path_ + " has no SCOpenChannel";
        if (!bind(close_, "SCCloseChannel"))
            return path_ + " has no SCCloseChannel";
        if (!bind(send_, "SCSend"))
            return path_ + " has no SCSend";
        if (!bind(receive_, "SCReceive"))
            return path_ + " has no SCReceive";
        return {};
    }

private:
    template <typename F> struct Slot {
        std::once_flag once;
        F fn = nullptr;
    };

    const DynamicLibrary& library()
    {
        std::call_once(libOnce_, [this] { lib_ = DynamicLibrary::openFullPath(path_); });
        return lib_;
    }

    template <typename F> F bind(Slot<F>& slot, const char* name)
    {
        std::call_once(slot.once, [&] { library().bind(name, slot.fn); });
        return slot.fn;
    }

    std::string path_;
    std::once_flag libOnce_;
    DynamicLibrary lib_;
    Slot<OpenFn> open_;
    Slot<CloseFn> close_;
    Slot<SendFn> send_;
    Slot<ReceiveFn> receive_;
};

} // namespace

std::unique_ptr<SerchanApi> loadSerchanFrom(const std::string& fullPath)
{
    return std::make_unique<SerchanLib>(fullPath);
}

std::unique_ptr<SerchanApi> loadSerchanBesideProgram()
{
    const std::string dir = programDir();
    // Without our own folder there is nowhere safe to load from.
    return loadSerchanFrom(dir.empty() ? std::string() : dir + kLibraryInFolder);
}

} // namespace tarvex
