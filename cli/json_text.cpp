#include "json_text.h"
#include "terminal.h"

#include <chrono>
#include <ctime>

#include <cstdint>
#include <cstdio>

namespace tarvexctl {

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when the bytes
// there are none (stray continuation bytes, overlong forms, surrogates,
// code points past U+10FFFF, sequences cut short).
size_t utf8SequenceAt(const std::string& text, size_t i)
{
    const auto byte = [&](size_t k) { return uint8_t(text[k]); };
    const uint8_t b0 = byte(i);
    size_t n;
    uint32_t cp;
    if (b0 < 0x80)
        return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (b & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string hexEscape(const char* format, unsigned value)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

} // namespace

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = uint8_t(text[i]);
        switch (c) {
        case '"':
            out += "\\\"";
            ++i;
            continue;
        case '\\':
            out += "\\\\";
            ++i;
            continue;
        case '\b':
            out += "\\b";
            ++i;
            continue;
        case '\f':
            out += "\\f";
            ++i;
            continue;
        case '\n':
            out += "\\n";
            ++i;
            continue;
        case '\r':
            out += "\\r";
            ++i;
            continue;
        case '\t':
            out += "\\t";
            ++i;
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x7F) {
            out += hexEscape("\\u%04x", c);
            ++i;
            continue;
        }
        const size_t n = utf8SequenceAt(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD for each byte that is no text
            ++i;
            continue;
        }
        out.append(text, i, n);
        i += n;
    }
    return out + "\"";
}

void JsonObject::key(const char* name)
{
    if (text_.size() > 1)
        text_ += ",";
    text_ += jsonString(name) + ":";
}

JsonObject& JsonObject::add(const char* name, const std::string& value)
{
    key(name);
    text_ += jsonString(value);
    return *this;
}

JsonObject& JsonObject::add(const char* name, const std::optional<std::string>& value)
{
    key(name);
    text_ += value ? jsonString(*value) : "null";
    return *this;
}

JsonObject& JsonObject::add(const char* name, double value, int decimals)
{
    key(name);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    text_ += buf;
    return *this;
}

JsonObject& JsonObject::add(const char* name, bool value)
{
    key(name);
    text_ += value ? "true" : "false";
    return *this;
}

std::string utcTimestamp()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    // The tool is single-threaded: gmtime's shared buffer is safe here.
    const std::tm* tm = std::gmtime(&t);
    char buf[40];
    if (!tm || std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", tm) == 0)
        return {};
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03dZ", buf, int(ms));
    return full;
}

std::string printable(const std::string& text, bool utf8)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = uint8_t(text[i]);
        // C0 controls, DEL, and the backslash itself, so that every \x in
        // the output is one of ours.
        if (c < 0x20 || c == 0x7F || c == '\\') {
            out += hexEscape("\\x%02X", c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += char(c);
            ++i;
            continue;
        }
        const size_t n = utf8SequenceAt(text, i);
        // U+0080..U+009F are the C1 controls (CSI among them), which a
        // UTF-8 terminal obeys as the 8-bit ones.
        const bool c1 = n == 2 && c == 0xC2 && uint8_t(text[i + 1]) < 0xA0;
        if (c1 || (n == 0 && utf8)) {
            const size_t len = n == 0 ? 1 : n;
            for (size_t k = 0; k < len; ++k)
                out += hexEscape("\\x%02X", uint8_t(text[i + k]));
            i += len;
            continue;
        }
        // A character, or on a system whose names are in an 8-bit code
        // page (Windows) a byte of one, which its console shows as text.
        const size_t len = n == 0 ? 1 : n;
        out.append(text, i, len);
        i += len;
    }
    return out;
}

std::string printable(const std::string& text)
{
    return printable(text, systemTextIsUtf8());
}

} // namespace tarvexctl
