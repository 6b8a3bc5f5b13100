// Splitting the PC/SC reader list: a fake service writes the fuzz bytes into
// the 2048-character buffer and reports a length of its own choosing.
// Checks: the count never exceeds the names, each counted name is non-empty,
// trimmed and free of NULs, and selecting a listed name finds it.
#include "modSmart.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class ListingPcsc : public tarvex::pcsc::Api {
public:
    std::vector<uint8_t> bytes;
    uint32_t reportedLength = 0;
    tarvex::pcsc::Result result = 0;
    using R = tarvex::pcsc::Result;
    R establishContext(uint32_t, tarvex::pcsc::Context* c) override
    {
        *c = 1;
        return 0;
    }
    R releaseContext(tarvex::pcsc::Context) override { return 0; }
    R listReaders(tarvex::pcsc::Context, char* buf, uint32_t* len) override
    {
        const size_t n = bytes.size() < *len ? bytes.size() : *len;
        if (n)
            std::memcpy(buf, bytes.data(), n);
        *len = reportedLength;
        return result;
    }
    R connect(tarvex::pcsc::Context, const char*, uint32_t, uint32_t, tarvex::pcsc::Card*, uint32_t*) override
    {
        return tarvex::pcsc::E_NO_SMARTCARD;
    }
    R status(tarvex::pcsc::Card, uint32_t*, uint32_t*, uint8_t*, uint32_t*) override
    {
        return tarvex::pcsc::E_INVALID_HANDLE;
    }
    R beginTransaction(tarvex::pcsc::Card) override { return 0; }
    R transmit(tarvex::pcsc::Card, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) override
    {
        return tarvex::pcsc::E_INVALID_HANDLE;
    }
    R endTransaction(tarvex::pcsc::Card, uint32_t) override { return 0; }
    R disconnect(tarvex::pcsc::Card, uint32_t) override { return 0; }
    uint32_t protocolRaw() const override { return 4; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    ListingPcsc api;
    api.reportedLength = in.ConsumeIntegral<uint32_t>();
    api.result = in.ConsumeBool() ? 0 : tarvex::pcsc::E_INSUFFICIENT_BUFFER;
    api.bytes = in.ConsumeRemainingBytes<uint8_t>();

    tarvex::modSmart smart(api);
    smart.InitSmart();
    std::vector<std::string> names;
    const int16_t count = smart.GetReaders(names);
    if (count < 0 || size_t(count) > names.size())
        abort();
    for (int16_t i = 0; i < count; ++i) {
        const std::string& n = names[size_t(i)];
        if (n.empty() || n.find('\0') != std::string::npos || n.front() == ' ' || n.back() == ' ')
            abort();
        if (!smart.SelectReader(n) || smart.currentReader() > i)
            abort();
    }
    // Connecting to whatever was selected must fail cleanly, not crash.
    if (!smart.ConnectCard().empty())
        abort();
    return 0;
}
