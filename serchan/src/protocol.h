// The frame protocol: framing, ACK/NAK handshake, sequence numbers, options.
// All state is process-wide (one channel per process) and unlocked: callers
// serialise their calls.
#pragma once

#include "serchan.h"

#include <cstdint>

namespace serchan::protocol {

int32_t send(const uint8_t* data, uint32_t length);
int32_t receive(uint8_t* buffer, uint32_t capacity);
int32_t transmit(const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs);

// Option word (SC_OPT_* bits). changeOptions() treats SC_OPT_RESET_ROLE as
// the command to forget the exchange role and never stores it.
uint32_t options();
void storeOptions(uint32_t options);
uint32_t changeOptions(uint32_t options);

// Caller-installed byte transport; null entries fall back to the port layer.
void setTransport(SCTransportFn writeFn, SCTransportFn readFn);
bool bothTransportsInstalled();

} // namespace serchan::protocol
