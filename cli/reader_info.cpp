#include "reader_info.h"

#include "json_text.h"
#include "terminal.h"

namespace tarvexctl {

namespace {

std::optional<std::string> nonEmpty(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    return text;
}

std::string column(const std::optional<std::string>& value, size_t width)
{
    std::string text = value ? printable(*value) : std::string("-");
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

std::optional<std::string> utf8(const std::optional<std::string>& text)
{
    if (!text)
        return std::nullopt;
    return systemTextToUtf8(*text);
}

} // namespace

ReaderInfo readerInfo(const std::string& entryText)
{
    const tarvex::ListEntry e = tarvex::ListEntry::parse(entryText);
    ReaderInfo r;
    r.personality = e.personality;
    r.entry = entryText;
    r.address = nonEmpty(e.address());
    r.serial = nonEmpty(e.serial());
    // Only a firmware text the reader gave as "(major.minor)" is a version;
    // a failed read leaves whatever the reply was, which is kept in `entry`.
    const tarvex::FirmwareVersion v = tarvex::firmwareOfEntry(entryText);
    if (v.reading == tarvex::FirmwareVersion::Read)
        r.firmware = std::to_string(v.major) + "." + std::to_string(v.minor);
    return r;
}

const char* personalityName(Personality personality)
{
    switch (personality) {
    case Personality::Ccid:
        return "CCID";
    case Personality::Cdc:
        return "CDC";
    case Personality::Hid:
        return "HID";
    case Personality::Msd:
        return "MSD";
    }
    return "MSD";
}

std::string textLine(const ReaderInfo& reader)
{
    return column(std::string(personalityName(reader.personality)), 4) + "  " + column(reader.serial, 8) + "  "
        + column(reader.firmware, 7) + "  " + (reader.address ? printable(*reader.address) : std::string("-"));
}

std::string jsonLine(const ReaderInfo& reader, const char* event, const std::string& time)
{
    JsonObject o;
    if (event)
        o.add("event", event);
    if (!time.empty())
        o.add("time", time);
    o.add("personality", personalityName(reader.personality))
        .add("address", utf8(reader.address))
        .add("serial", reader.serial)
        .add("firmware", reader.firmware)
        .add("entry", systemTextToUtf8(reader.entry));
    return o.str();
}

std::string readerName(const ReaderInfo& reader)
{
    if (reader.serial)
        return printable(*reader.serial);
    if (reader.address)
        return printable(*reader.address);
    return printable(reader.entry);
}

} // namespace tarvexctl
