// Check value of the switch record. The reader's table is the linear
// combination of eight basis entries (one per index bit); the update runs
// LSB-first over the bytes with no final inversion.
#include "zn480sim/reader.h"

#include <array>

namespace zn480sim {
namespace {

std::array<uint32_t, 256> buildTable()
{
    static constexpr uint32_t basis[8] = {
        0x690CE1EE,
        0x34867277,
        0x9823B2E0,
        0x4C11D370,
        0x2608FDB8,
        0x130456DC,
        0x09827B6E,
        0x04C19DB7,
    };
    std::array<uint32_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint32_t v = 0;
        for (unsigned j = 0; j < 8; ++j)
            if (i & (1u << j))
                v ^= basis[j];
        t[i] = v;
    }
    return t;
}

} // namespace

uint32_t recordCrc(const uint8_t* data, size_t length, uint32_t start)
{
    static const std::array<uint32_t, 256> table = buildTable();
    uint32_t v = start;
    for (size_t i = 0; i < length; ++i)
        v = (v >> 8) ^ table[(v ^ data[i]) & 0xFF];
    return v;
}

} // namespace zn480sim
