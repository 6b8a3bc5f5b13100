// The CRC-32 carried in the switch record of the vendor commands: table built
// from polynomial 0x04C11DB7 in the reader's own (non-reflected) layout,
// start value from the caller, no final XOR.
#pragma once
#include <cstdint>

namespace tarvex {

// Updates `running` over `length` bytes, stores it back and returns it.
uint32_t CRC32(const uint8_t* data, int32_t length, uint32_t& running);

} // namespace tarvex
