// Frame layout shared by the sender and the receiver.
//
//   one-byte length:  02 SEQ L      DATA(L) CHECK     (L 0..255)
//   two-byte length:  02 SEQ LH LL  DATA(L) CHECK     (L 0..275, SC_OPT_TWO_BYTE_LENGTH)
//
// CHECK is the XOR of every byte before it, complemented under
// SC_OPT_INVERTED_CHECK. The option bits are the public ones of serchan.h.
#pragma once

#include "serchan.h"

#include <cstddef>
#include <cstdint>

namespace serchan::frame {

constexpr uint8_t kStart = 0x02;
constexpr uint8_t kStartLong = 0x82; // also taken as a start byte under SC_OPT_TWO_BYTE_LENGTH
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr size_t kBufferSize = 280; // the largest frame: 5 header/check bytes + 275
constexpr uint32_t kMaxShortData = 255;
constexpr uint32_t kMaxLongData = 275;

inline uint8_t xorOf(const uint8_t* p, size_t n, uint8_t seed = 0)
{
    for (size_t i = 0; i < n; ++i)
        seed ^= p[i];
    return seed;
}

// Builds a frame into `out` (room for kBufferSize bytes); `length` must
// already be checked against the limits. Returns the frame's total size.
size_t build(uint8_t* out, uint8_t seq, const uint8_t* data, uint32_t length, uint32_t options);

} // namespace serchan::frame
