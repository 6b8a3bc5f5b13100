// The four serchan exports the program uses, behind an interface. The
// production implementation loads the library by name from the program's
// own folder only (SERCHAN.dll / libserchan.so) and binds each function at
// its first call; when the library or a function is missing the calls fail
// (open 0, send/receive -2) instead of crashing.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace tarvex {

class SerchanApi {
public:
    virtual ~SerchanApi() = default;
    virtual int32_t open(int32_t port, uint32_t baudRate, int32_t options) = 0;
    virtual int32_t close(int32_t channel) = 0;
    virtual int32_t send(int32_t channel, const uint8_t* data, uint32_t length) = 0;
    virtual int32_t receive(int32_t channel, uint8_t* buffer, uint32_t capacity) = 0;
    // Why the library cannot be used (not found, or an export missing), for
    // a person; empty when it can. Loads it when not yet loaded.
    virtual std::string loadProblem() { return {}; }
};

std::unique_ptr<SerchanApi> loadSerchanBesideProgram();
// The same from an explicit full path (tests use it for a missing library or
// one that lacks exports); a path that names no folder binds nothing.
std::unique_ptr<SerchanApi> loadSerchanFrom(const std::string& fullPath);

} // namespace tarvex
