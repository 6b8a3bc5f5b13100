// Hex text <-> bytes.
#include "modUtil.h"

namespace tarvex {

namespace {

// Longest hex text (after padding) or byte string the conversions accept.
constexpr size_t kMaxLength = 32766;

// Value of one hex digit, or -1. Deliberately strict: no sign, no blanks,
// no prefix, so a text like "1 " or "+1" never reads as a byte.
int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

Bytes HexToBytes(const std::string& text)
{
    // An odd count gets its "0" in front, so "ABC" spells the same number
    // as "0ABC" rather than dropping or misplacing a digit.
    const size_t padded = text.size() + (text.size() & 1);
    if (padded == 0 || padded > kMaxLength)
        return {};

    Bytes out;
    out.reserve(padded / 2);
    size_t pos = 0;
    if (text.size() & 1) {
        const int lo = digitValue(text[0]);
        if (lo < 0)
            return {};
        out.push_back(uint8_t(lo));
        pos = 1;
    }
    for (; pos < text.size(); pos += 2) {
        const int hi = digitValue(text[pos]);
        const int lo = digitValue(text[pos + 1]);
        // No partial results: one bad pair voids the whole conversion.
        if (hi < 0 || lo < 0)
            return {};
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return out;
}

std::string BytesToHex(const uint8_t* data, size_t length)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    if (data == nullptr || length == 0)
        return out;
    out.resize(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return out;
}

std::string BytesToHex(const Bytes& bytes)
{
    return BytesToHex(bytes.data(), bytes.size());
}

} // namespace tarvex
