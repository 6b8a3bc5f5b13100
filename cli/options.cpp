#include "options.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>

namespace tarvexctl {

namespace {

using tarvex::HidModeChoice;
using tarvex::Personality;

constexpr uint32_t kMaxSeconds = 3600;

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

// Whole seconds, optionally written with a trailing "s".
bool parseSeconds(std::string text, uint32_t minimum, uint32_t& ms)
{
    if (!text.empty() && (text.back() == 's' || text.back() == 'S'))
        text.pop_back();
    if (text.empty() || text.size() > 5
        || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return false;
    const uint32_t v = uint32_t(std::stoul(text));
    if (v < minimum || v > kMaxSeconds)
        return false;
    ms = v * 1000;
    return true;
}

bool isHex(const std::string& s)
{
    return !s.empty() && s.size() <= 64
        && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

ParseResult fail(std::string message)
{
    ParseResult r;
    r.error = std::move(message);
    return r;
}

const std::vector<std::pair<const char*, Command>>& commandWords()
{
    static const std::vector<std::pair<const char*, Command>> words{{"list", Command::List},
        {"switch", Command::Switch}, {"watch", Command::Watch}, {"wait", Command::Wait}, {"info", Command::Info},
        {"doctor", Command::Doctor}};
    return words;
}

const OptionSpec* findOption(const std::string& name)
{
    for (const OptionSpec& spec : knownOptions())
        if (name == spec.name)
            return &spec;
    return nullptr;
}

bool takes(const OptionSpec& spec, Command command)
{
    return std::find(spec.commands.begin(), spec.commands.end(), command) != spec.commands.end();
}

bool parsePersonality(const std::string& value, Personality& p)
{
    const std::string t = lower(value);
    if (t == "ccid")
        p = Personality::Ccid;
    else if (t == "cdc")
        p = Personality::Cdc;
    else if (t == "hid")
        p = Personality::Hid;
    else if (t == "msd")
        p = Personality::Msd;
    else
        return false;
    return true;
}

} // namespace

const std::vector<OptionSpec>& knownOptions()
{
    using C = Command;
    static const std::vector<OptionSpec> options{
        {"--json", false, {C::List, C::Switch, C::Watch, C::Wait, C::Info, C::Doctor}},
        {"-v", false, {C::List, C::Switch, C::Watch, C::Wait, C::Info, C::Doctor}},
        {"--verbose", false, {C::List, C::Switch, C::Watch, C::Wait, C::Info, C::Doctor}},
        {"--to", true, {C::Switch}},
        {"--serial", true, {C::Switch, C::Wait, C::Info}},
        {"--address", true, {C::Switch, C::Wait, C::Info}},
        {"--all", false, {C::Switch}},
        {"--fake-card", true, {C::Switch}},
        {"--hid-format", true, {C::Switch}},
        {"--timeout", true, {C::Switch, C::Wait}},
        {"--no-wait", false, {C::Switch}},
        {"--card-wait", true, {C::Switch, C::Info}},
        {"--dry-run", false, {C::Switch}},
        {"--personality", true, {C::Wait}},
    };
    return options;
}

const char* commandName(Command command)
{
    for (const auto& [word, c] : commandWords())
        if (c == command)
            return word;
    return command == Command::Version ? "--version" : "--help";
}

bool parseHidFormat(const std::string& text, HidModeChoice& choice)
{
    const std::string t = lower(text);
    if (t == "decimal") {
        choice = {2, 0};
        return true;
    }
    if (t == "block2") {
        choice = {3, 0};
        return true;
    }
    // "hex", then "+hash" and "+shift" in either order, each at most once.
    if (t.rfind("hex", 0) != 0)
        return false;
    int16_t sub = 0;
    size_t p = 3;
    while (p < t.size()) {
        if (t[p] != '+')
            return false;
        const size_t end = t.find('+', p + 1);
        const std::string part = t.substr(p + 1, end == std::string::npos ? std::string::npos : end - p - 1);
        const int16_t bit = part == "hash" ? 1 : part == "shift" ? 2 : 0;
        if (bit == 0 || (sub & bit))
            return false;
        sub = int16_t(sub | bit);
        p = end == std::string::npos ? t.size() : end;
    }
    choice = {1, sub};
    return true;
}

std::string hidFormatName(const HidModeChoice& choice)
{
    switch (choice.format) {
    case 1:
        return std::string("hex") + ((choice.subOptions & 1) ? "+hash" : "")
            + ((choice.subOptions & 2) ? "+shift" : "");
    case 2:
        return "decimal";
    case 3:
        return "block2";
    default:
        return "none";
    }
}

bool parseFakeCard(const std::string& text, int16_t& setting)
{
    const std::string t = lower(text);
    if (t == "30s" || t == "30") {
        setting = tarvex::kFakeCardStandard;
        return true;
    }
    if (t == "always") {
        setting = tarvex::kFakeCardAlways;
        return true;
    }
    if (t == "never") {
        setting = tarvex::kFakeCardNever;
        return true;
    }
    return false;
}

ParseResult parseArguments(const std::vector<std::string>& args)
{
    ParseResult r;
    Options& o = r.options;
    const auto helpOrVersion = [](const std::string& w) {
        return w == "-h" || w == "--help" || w == "help" ? 1 : w == "--version" || w == "version" ? 2 : 0;
    };

    // Only help and version may come before the command.
    if (args.empty())
        return fail("no command given (list, switch, watch, wait, info or doctor; see --help)");
    const std::string& first = args[0];
    for (const char* flag : {"--help=", "--version="})
        if (first.rfind(flag, 0) == 0)
            return fail(first.substr(0, first.find('=')) + " takes no value");
    if (const int hv = helpOrVersion(first)) {
        if (args.size() > 1)
            return fail("unexpected argument \"" + args[1] + "\" after " + first);
        o.command = hv == 1 ? Command::Help : Command::Version;
        return r;
    }
    bool known = false;
    for (const auto& [word, command] : commandWords())
        if (first == word) {
            o.command = command;
            known = true;
        }
    if (!known) {
        if (first.rfind("-", 0) == 0)
            return fail("the command comes first: tarvexctl list|switch|watch|wait|info|doctor [options] (see --help)");
        return fail("unknown command \"" + first + "\" (list, switch, watch, wait, info or doctor; see --help)");
    }
    const std::string command = first;

    std::set<std::string> seen;
    bool targetGiven = false;
    bool endOfOptions = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (endOfOptions || word.rfind("-", 0) != 0 || word == "-")
            return fail("unexpected argument \"" + word + "\"");
        if (word == "--") {
            endOfOptions = true;
            continue;
        }
        // "--name=value" or "--name value".
        std::string name = word;
        std::optional<std::string> inlineValue;
        const size_t eq = word.find('=');
        if (word.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = word.substr(0, eq);
            inlineValue = word.substr(eq + 1);
        }
        if (name == "-h" || name == "--help") {
            if (inlineValue)
                return fail(name + " takes no value");
            o = Options{};
            o.command = Command::Help;
            return r;
        }
        const OptionSpec* spec = findOption(name);
        if (!spec)
            return fail("unknown option " + name + " (see --help)");
        if (!takes(*spec, o.command))
            return fail(name + " is not an option of " + command);
        // Every option once: a second --serial or --to is more likely a
        // mistake than a correction.
        const std::string canonical = name == "--verbose" ? "-v" : name;
        if (!seen.insert(canonical).second)
            return fail(name + " is given twice");
        std::string value;
        if (spec->takesValue) {
            if (inlineValue)
                value = *inlineValue;
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return fail(name + " needs a value");
        } else if (inlineValue) {
            return fail(name + " takes no value");
        }

        if (canonical == "--json") {
            o.json = true;
        } else if (canonical == "-v") {
            o.verbose = true;
        } else if (name == "--to") {
            if (!parsePersonality(value, o.target) || o.target == Personality::Msd)
                return fail("--to takes ccid, cdc or hid, not \"" + value + "\"");
            targetGiven = true;
        } else if (name == "--personality") {
            if (!parsePersonality(value, o.personality))
                return fail("--personality takes ccid, cdc, hid or msd, not \"" + value + "\"");
            o.personalityGiven = true;
        } else if (name == "--serial" || name == "--address" || name == "--all") {
            if (o.selector.kind != Selector::None)
                return fail("choose the readers one way only: --serial, --address or --all");
            if (name == "--serial") {
                if (!isHex(value))
                    return fail("--serial takes the serial number in hexadecimal, as list shows it");
                o.selector = {Selector::Serial, value};
            } else if (name == "--address") {
                if (value.empty())
                    return fail("--address needs the reader's address, as list shows it");
                o.selector = {Selector::Address, value};
            } else {
                o.selector = {Selector::All, {}};
            }
        } else if (name == "--fake-card") {
            if (!parseFakeCard(value, o.fakeCard))
                return fail("--fake-card takes 30s, always or never, not \"" + value + "\"");
            o.fakeCardGiven = true;
        } else if (name == "--hid-format") {
            if (!parseHidFormat(value, o.hidFormat))
                return fail("--hid-format takes hex, hex+hash, hex+shift, hex+hash+shift, decimal or block2, not \""
                    + value + "\"");
            o.hidFormatGiven = true;
        } else if (name == "--timeout") {
            if (!parseSeconds(value, 1, o.timeoutMs))
                return fail("--timeout takes whole seconds from 1 to 3600, not \"" + value + "\"");
        } else if (name == "--card-wait") {
            uint32_t ms = 0;
            if (!parseSeconds(value, 0, ms))
                return fail("--card-wait takes whole seconds from 0 to 3600, not \"" + value + "\"");
            o.cardWaitMs = int32_t(ms);
        } else if (name == "--no-wait") {
            o.wait = false;
        } else if (name == "--dry-run") {
            o.dryRun = true;
        }
    }

    if (o.command == Command::Switch) {
        if (!targetGiven)
            return fail("switch needs --to ccid, --to cdc or --to hid");
        if (o.fakeCardGiven && o.target != Personality::Ccid)
            return fail("--fake-card applies to --to ccid only");
        if (o.hidFormatGiven && o.target != Personality::Hid)
            return fail("--hid-format applies to --to hid only");
        if (!o.wait && seen.count("--timeout"))
            return fail("--timeout and --no-wait exclude each other");
    }
    if (o.command == Command::Wait && o.selector.kind == Selector::None)
        return fail("wait needs --serial or --address");
    return r;
}

std::string helpText()
{
    return R"(usage: tarvexctl list [--json] [-v]
       tarvexctl switch --to ccid|cdc|hid [--serial SN | --address ADDR | --all]
                        [--fake-card 30s|always|never] [--hid-format FORMAT]
                        [--timeout SECONDS | --no-wait] [--card-wait SECONDS]
                        [--dry-run] [--json] [-v]
       tarvexctl watch [--json] [-v]
       tarvexctl wait (--serial SN | --address ADDR) [--personality P]
                      [--timeout SECONDS] [--json] [-v]
       tarvexctl info [--serial SN | --address ADDR] [--card-wait SECONDS] [--json] [-v]
       tarvexctl doctor [--json] [-v]
       tarvexctl --help | --version

Lists ZN480 card readers in every USB personality (CCID smart-card reader,
CDC serial port, HID keyboard, MSD drive) and switches them to another one.

list      One scan of the PC/SC readers, serial ports, HID devices and drives;
          one line per reader: personality, serial number, firmware, address
          ("-" where not known). A source that could not be looked at is
          named on standard error.
switch    The window's mode switch for each chosen reader (firmware check,
          HID reset through kbflash, settings, switch, reboot), then waits
          until the reader is listed again in its new personality. One line
          per reader: "ok", "unchanged" (already in that personality: nothing
          sent), "failed", "refused" or "unsupported", serial number,
          FROM->TO, address, and the reason.
watch     Prints readers as they arrive ("added"), leave ("removed") or
          change ("changed", e.g. once their serial number has been read),
          until interrupted.
wait      Returns once the reader is listed (in personality P, when given),
          or fails after --timeout seconds (default 30).
info      The reader's personality, address, serial number, firmware and,
          for a reader that takes commands, its HID output format.
doctor    Checks what a reader needs to be found and switched on this
          machine, one line per check, with what to do about each problem.

Choosing readers:
  --serial SN       the reader with this serial number (hex, any case)
  --address ADDR    the reader at this address: PC/SC reader name, COMn,
                    "ZN480 Keyboard n", or the whole entry text
  --all             switch: every listed reader, one after the other
  Without any of them the one attached reader is chosen; with several
  attached nothing is guessed. A reader in HID personality shows no serial
  number: choose it by --address (it must be the only reader attached).

Switch options:
  --to ccid|cdc|hid     the new personality (required)
  --fake-card 30s|always|never
                        with --to ccid: report a card for 30 s after it is
                        taken away (default), always, or never
  --hid-format FORMAT   with --to hid: how the reader types a card:
                        hex (UID in hexadecimal, default), hex+hash (then
                        '#'), hex+shift (letters with SHIFT), hex+hash+shift,
                        decimal (UID in decimal), block2 (the 14 bytes of
                        block 2)
  --timeout SECONDS     how long to wait for the reader to be listed again
                        after its reboot (default 30)
  --no-wait             report success once the reader accepted the switch
  --card-wait SECONDS   a CCID reader needs a card to be opened: how long to
                        wait for one (default 30 on a terminal, else 0)
  --dry-run             say for each reader what would be done ("switch",
                        "unchanged", "refused"); send nothing but the
                        identity reads of the scan

Wait options:
  --personality ccid|cdc|hid|msd   the personality to wait for
  --timeout SECONDS                 how long to wait (default 30)

Common options:
  --json            one JSON object per line on standard output, refusals
                    and errors included ({"result":"refused","reason":...})
  -v, --verbose     every command sent to a reader and every status word
                    received, with timings, on standard error

Progress goes to standard error, and only when it is a terminal.

Exit status: 0 success (every reader switched or unchanged, nothing missing);
1 a reader failed; 2 bad arguments; 3 the selection was refused (ambiguous,
unknown, HID beside others, nothing attached); 4 a reader did not come back
in time; 5 a source (PC/SC, serial ports, HID, drives) could not be looked
at; 130 interrupted (after the reader in progress was finished).
)";
}

} // namespace tarvexctl
