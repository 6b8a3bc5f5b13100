#include "hex.h"

namespace zn480sim {

std::string toHex(const uint8_t* data, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 0x0F]);
    }
    return s;
}

static int nibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> fromHex(const std::string& text)
{
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') {
            if (hi >= 0)
                return std::nullopt; // a lone digit before a separator
            continue;
        }
        int v = nibble(c);
        if (v < 0)
            return std::nullopt;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    if (hi >= 0)
        return std::nullopt;
    return out;
}

} // namespace zn480sim
