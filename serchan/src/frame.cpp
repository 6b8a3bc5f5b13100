#include "frame.h"

#include <cstring>

namespace serchan::frame {

size_t build(uint8_t* out, uint8_t seq, const uint8_t* data, uint32_t length, uint32_t options)
{
    size_t i = 0;
    out[i++] = kStart;
    out[i++] = seq;
    if (options & SC_OPT_TWO_BYTE_LENGTH) {
        out[i++] = static_cast<uint8_t>(length >> 8);
        out[i++] = static_cast<uint8_t>(length);
    } else {
        out[i++] = static_cast<uint8_t>(length);
    }
    if (length)
        std::memcpy(out + i, data, length);
    i += length;
    uint8_t check = xorOf(out, i);
    if (options & SC_OPT_INVERTED_CHECK)
        check = static_cast<uint8_t>(~check);
    out[i++] = check;
    return i;
}

} // namespace serchan::frame
