// One entry of the device list, as a value: which personality the reader
// shows, the key the scan recognises it by again, and the identity suffix
// (serial number and firmware) once it has been read. The entry's text is
// what the list shows; every part of the program that needs a piece of an
// entry asks this module instead of cutting the text itself.
//
// Texts are the system's own bytes: PC/SC reader names and port names in
// the local 8-bit code page, unchanged, so that a reader is always addressed
// by exactly the name the service gave. Only the window decodes them.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace tarvex {

enum class Personality { Ccid, Cdc, Hid, Msd };

// The separator between an entry's key and its identity suffix.
inline constexpr const char* kSuffixSeparator = " - ";
// The one drive entry: every reader drive shares it.
inline constexpr const char* kMsdEntry = "MSD ZN480 Mass Storage";

struct ListEntry {
    Personality personality = Personality::Msd;
    std::string key;                     // the text before the first " - "
    std::optional<std::string> identity; // the text after it: "<serial> <firmware>"

    // Personality by the key's first letters ("CCID", "COM", "HID"); any
    // other text is the drive entry, which has no transport of its own.
    static ListEntry parse(const std::string& text);

    std::string text() const { return identity ? key + kSuffixSeparator + *identity : key; }
    // What the entry is listed by: the PC/SC reader name (CCID), the port
    // name "COM<n>" (CDC), "ZN480 Keyboard <n>" (HID), empty for the drive.
    std::string address() const;
    // The serial number and the "(major.minor)" firmware text of the suffix,
    // empty when not known.
    std::string serial() const;
    std::string firmware() const;
};

// The key of an entry's text (the text before the first " - ").
std::string FilterExtra(const std::string& text);

std::string ccidKey(const std::string& readerName); // "CCID <name>"
std::string cdcKey(const std::string& portName);    // "<port> ZN480 CDC"
std::string hidKey(const std::string& readerName);  // "HID <name>"
// " - <serial> <firmware>", the suffix the identity reads give.
std::string identitySuffix(const std::string& serial, const std::string& firmware);

// The port number of a "COM<n> ..." entry; 0 when the text has no such form.
int32_t comPortOfEntry(const std::string& text);

// The firmware version written in an entry's suffix.
struct FirmwareVersion {
    enum Reading { Unknown, Unreadable, Read } reading = Unknown;
    uint32_t major = 0;
    uint32_t minor = 0;
};
// Unknown: the entry has no suffix, or no "(" in it. Unreadable: the text
// after the "(" is not "major.minor". Numbers past any real firmware saturate.
FirmwareVersion firmwareOfEntry(const std::string& text);

} // namespace tarvex
