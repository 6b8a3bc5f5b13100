// CRC-32 of the vendor switch record.
#include "modCRC.h"

#include <array>

namespace tarvex {

namespace {

// The table is linear over GF(2) in its index: each entry is the XOR of the
// basis values of the bits set in the index. The basis is the reader's own
// layout of polynomial 0x04C11DB7 and is part of the command format, so it
// is written out rather than derived from a textbook CRC.
constexpr std::array<uint32_t, 8> kBasis = {
    0x690CE1EEu,
    0x34867277u,
    0x9823B2E0u,
    0x4C11D370u,
    0x2608FDB8u,
    0x130456DCu,
    0x09827B6Eu,
    0x04C19DB7u,
};

constexpr std::array<uint32_t, 256> buildTable()
{
    std::array<uint32_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint32_t v = 0;
        for (unsigned j = 0; j < 8; ++j)
            if (i & (1u << j))
                v ^= kBasis[j];
        t[i] = v;
    }
    return t;
}

// Built at compile time: no first-use race between threads, no flag.
constexpr std::array<uint32_t, 256> kTable = buildTable();

static_assert(kTable[3] == 0x5D8A9399u);
static_assert(kTable[7] == 0xC5A92179u);
static_assert(kTable[128] == 0x04C19DB7u);
static_assert(kTable[255] == 0xB1F7BFB4u);

} // namespace

uint32_t CRC32(const uint8_t* data, int32_t length, uint32_t& running)
{
    if (data == nullptr || length <= 0)
        return running;
    uint32_t v = running;
    for (int32_t i = 0; i < length; ++i)
        v = (v >> 8) ^ kTable[(v ^ data[i]) & 0xFFu];
    running = v;
    return v;
}

} // namespace tarvex
