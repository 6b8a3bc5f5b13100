// HexToBytes on arbitrary text. Checks the conversion against a plain
// reading of the text: every result, when not empty, must write back as
// the text itself (upper case, padded with a leading "0" to even length),
// and an empty result must mean the text could not be read.
#include "modUtil.h"

#include <cctype>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const tarvex::Bytes bytes = tarvex::HexToBytes(text);

    bool allHex = !text.empty();
    for (unsigned char c : text)
        allHex = allHex && std::isxdigit(c);
    const size_t padded = text.size() + (text.size() & 1);
    const bool readable = allHex && padded <= 32766;

    if (!readable) {
        if (!bytes.empty())
            abort();
        return 0;
    }
    std::string expected = (text.size() & 1) ? "0" + text : text;
    for (char& c : expected)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (tarvex::BytesToHex(bytes) != expected)
        abort();
    return 0;
}
