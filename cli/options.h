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
// refused, source unavailable.
constexpr int kExitOk = 0;            // every reader switched or unchanged; the listing is complete
constexpr int kExitFailed = 1;        // a reader failed
constexpr int kExitUsage = 2;         // bad arguments; nothing was looked at or sent
constexpr int kExitRefused = 3;       // the selection was refused (ambiguous, unknown, nothing attached); nothing sent
constexpr int kExitNotBack = 4;       // a reader accepted the switch but was not listed again in time
constexpr int kExitUnavailable = 5;   // a source (PC/SC, serial ports, HID, drives) could not be looked at
constexpr int kExitInterrupted = 130; // stopped by Ctrl-C or SIGTERM, after the reader in progress

enum class Command { Help, Version, List, Switch, Watch, Wait, Info, Doctor };

// How the readers to switch are chosen.
struct Selector {
    enum Kind { None, Serial, Address, All } kind = None;
    std::string value; // the serial number or the address
};

struct Options {
    Command command = Command::Help;
    bool json = false;
    // -v: every command sent and every status word received, on standard
    // error, with timings.
    bool verbose = false;

    // switch
    tarvex::Personality target = tarvex::Personality::Ccid;
    Selector selector;
    bool fakeCardGiven = false;
    int16_t fakeCard = tarvex::kFakeCardStandard;
    bool hidFormatGiven = false;
    tarvex::HidModeChoice hidFormat{1, 0}; // hexadecimal UID, as the window starts
    uint32_t timeoutMs = 30000;            // for the reader to be listed again
    bool wait = true;
    bool dryRun = false;

    // wait: the personality the reader must be listed in; absent: any.
    bool personalityGiven = false;
    tarvex::Personality personality = tarvex::Personality::Ccid;
    // How long the card prompt is answered with "try again" before it is
    // cancelled; -1: the default (30 s on a terminal, 0 otherwise).
    int32_t cardWaitMs = -1;
};

struct ParseResult {
    Options options;
    std::string error; // empty when the command line is good
};

ParseResult parseArguments(const std::vector<std::string>& args);

// Every option the parser knows, and the commands that take it: the help
// text and the manual page are checked against this.
struct OptionSpec {
    const char* name;
    bool takesValue;
    std::vector<Command> commands;
};
const std::vector<OptionSpec>& knownOptions();
// "list", "switch", ...
const char* commandName(Command command);

// The full --help text.
std::string helpText();

// --hid-format and --fake-card spellings, for messages and tests.
bool parseHidFormat(const std::string& text, tarvex::HidModeChoice& choice);
bool parseFakeCard(const std::string& text, int16_t& setting);
std::string hidFormatName(const tarvex::HidModeChoice& choice);

} // namespace tarvexctl
