// A device-list entry as the tool shows it: personality, address, serial
// number and firmware, each absent when the entry does not know it. One
// shape for the text lines and the JSON objects of list, watch and switch.
#pragma once
#include "core/list_entry.h"

#include <optional>
#include <string>

namespace tarvexctl {

using tarvex::Personality;

struct ReaderInfo {
    Personality personality = Personality::Msd;
    // PC/SC reader name, "COM<n>", "ZN480 Keyboard <n>"; absent for the
    // drive entry, which stands for every reader drive at once.
    std::optional<std::string> address;
    std::optional<std::string> serial;   // hex, as the reader gave it
    std::optional<std::string> firmware; // "major.minor"
    std::string entry;                   // the whole entry text
};

ReaderInfo readerInfo(const std::string& entryText);

// "CCID", "CDC", "HID", "MSD".
const char* personalityName(Personality personality);

// "CCID  01020304  2.166  ZN480 Sim 1 00 00": personality, serial number,
// firmware and address in columns, "-" for what is not known; the address
// comes last since reader names hold spaces.
std::string textLine(const ReaderInfo& reader);

// {"personality":"CCID","address":...,"serial":...,"firmware":...,"entry":...}
// `event`, when given, comes first (watch: "added", "removed", "changed"),
// then `time` when given.
std::string jsonLine(const ReaderInfo& reader, const char* event = nullptr, const std::string& time = {});

// What a person calls the reader in messages: its serial number when
// known, else its address, else the entry text.
std::string readerName(const ReaderInfo& reader);

} // namespace tarvexctl
