// The command line of tarvexctl, parsed into plain values. Parsing never
// touches a reader: a mistake here is reported before anything is sent.
#pragma once
#include "core/list_entry.h"
#include "core/reader_ui.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvexctl {

// Exit statuses, documented in --help and the manual page. When several
// apply, the first of this order wins: interrupted, failed, not back,
// source unavailable; refused and bad arguments end the run before
// anything is sent.
constexpr int kExitOk = 0;            // every reader switched or unchanged; the listing is complete
constexpr int kExitFailed = 1;        // a reader failed
constexpr int kExitUsage = 2;         // bad arguments; nothing was looked at or sent
constexpr int kExitRefused = 3;       // the selection was refused (ambiguous, unknown, nothing attached); nothing sent
constexpr int kExitNotBack = 4;       // a reader accepted the switch but was not listed again in time
constexpr int kExitUnavailable = 5;   // a source (PC/SC, serial ports, HID, drives) could not be looked at
constexpr int kExitInterrupted = 130; // stopped by Ctrl-C or SIGTERM, after the reader in progress

enum class Command { Help, Version, List, Switch, Watch, Doctor };

// How the readers to switch are chosen.
struct Selector {
    enum Kind { None, Serial, Address, All } kind = None;
    std::string value; // the serial number or the address
};

struct Options {
    Command command = Command::Help;
    bool json = false;

    // switch
    tarvex::Personality target = tarvex::Personality::Ccid;
    Selector selector;
    bool fakeCardGiven = false;
    int16_t fakeCard = tarvex::kFakeCardStandard;
    bool hidFormatGiven = false;
    tarvex::HidModeChoice hidFormat{1, 0}; // hexadecimal UID, as the window starts
    uint32_t timeoutMs = 30000;            // for the reader to be listed again
    bool wait = true;
    // How long the card prompt is answered with "try again" before it is
    // cancelled; -1: the default (30 s on a terminal, 0 otherwise).
    int32_t cardWaitMs = -1;
};

struct ParseResult {
    Options options;
    std::string error; // empty when the command line is good
};

ParseResult parseArguments(const std::vector<std::string>& args);

// The full --help text.
std::string helpText();

// --hid-format and --fake-card spellings, for messages and tests.
bool parseHidFormat(const std::string& text, tarvex::HidModeChoice& choice);
bool parseFakeCard(const std::string& text, int16_t& setting);
std::string hidFormatName(const tarvex::HidModeChoice& choice);

} // namespace tarvexctl
