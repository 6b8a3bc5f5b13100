// Entry texts of the device list: how each personality's entry is built,
// and reading the parts back.
#include "core/list_entry.h"

#include "modComPort.h"

namespace tarvex {

namespace {

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// Leading decimal digits of text[from..to), saturating past what any
// firmware uses. Returns the position after the last digit read.
size_t readDecimal(const std::string& text, size_t from, size_t to, uint32_t& value)
{
    value = 0;
    size_t i = from;
    for (; i < to && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint32_t d = uint32_t(text[i] - '0');
        value = value > (UINT32_MAX - d) / 10 ? UINT32_MAX : value * 10 + d;
    }
    return i;
}

} // namespace

std::string FilterExtra(const std::string& text)
{
    const size_t p = text.find(kSuffixSeparator);
    return p == std::string::npos ? text : text.substr(0, p);
}

ListEntry ListEntry::parse(const std::string& text)
{
    ListEntry e;
    const size_t p = text.find(kSuffixSeparator);
    if (p == std::string::npos) {
        e.key = text;
    } else {
        e.key = text.substr(0, p);
        e.identity = text.substr(p + 3);
    }
    if (startsWith(e.key, "CCID"))
        e.personality = Personality::Ccid;
    else if (startsWith(e.key, "HID"))
        e.personality = Personality::Hid;
    else if (startsWith(e.key, "COM"))
        e.personality = Personality::Cdc;
    else
        e.personality = Personality::Msd;
    return e;
}

std::string ListEntry::address() const
{
    switch (personality) {
    case Personality::Ccid:
        return key.size() > 5 ? key.substr(5) : std::string();
    case Personality::Hid:
        return key.size() > 4 ? key.substr(4) : std::string();
    case Personality::Cdc:
        return key.substr(0, key.find(' '));
    case Personality::Msd:
        break;
    }
    return {};
}

std::string ListEntry::serial() const
{
    if (!identity)
        return {};
    return identity->substr(0, identity->find(' '));
}

std::string ListEntry::firmware() const
{
    if (!identity)
        return {};
    const size_t space = identity->find(' ');
    return space == std::string::npos ? std::string() : identity->substr(space + 1);
}

std::string ccidKey(const std::string& readerName)
{
    return "CCID " + readerName;
}
std::string cdcKey(const std::string& portName)
{
    return portName + " ZN480 CDC";
}
std::string hidKey(const std::string& readerName)
{
    return "HID " + readerName;
}

std::string identitySuffix(const std::string& serial, const std::string& firmware)
{
    return kSuffixSeparator + serial + " " + firmware;
}

int32_t comPortOfEntry(const std::string& text)
{
    const size_t space = text.find(' ');
    if (space == std::string::npos)
        return 0;
    return ComPortNumber(std::string_view(text).substr(0, space));
}

FirmwareVersion firmwareOfEntry(const std::string& text)
{
    FirmwareVersion v;
    // The firmware text is the last part of the identity suffix. Looking for
    // it only there keeps a "(" inside a reader name from being read as a
    // version, and an entry without a suffix has no firmware known at all.
    const size_t suffix = text.find(kSuffixSeparator);
    const size_t p = text.rfind('(');
    if (suffix == std::string::npos || p == std::string::npos || p < suffix)
        return v;
    v.reading = FirmwareVersion::Unreadable;
    const size_t q = text.find('.', p);
    if (q == std::string::npos)
        return v;
    const size_t majorEnd = readDecimal(text, p + 1, q, v.major);
    if (majorEnd == p + 1 || majorEnd != q)
        return v;
    if (readDecimal(text, q + 1, text.size(), v.minor) == q + 1)
        return v;
    v.reading = FirmwareVersion::Read;
    return v;
}

} // namespace tarvex
