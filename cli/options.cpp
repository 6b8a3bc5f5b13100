#include "options.h"

#include <algorithm>
#include <cctype>
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

// One command line being read: options as "--name value" or "--name=value".
class Reader {
public:
    explicit Reader(const std::vector<std::string>& args) : args_(args) { }
    bool done() const { return i_ >= args_.size(); }
    const std::string& peek() const { return args_[i_]; }
    // The next word; for "--name=value" the name, leaving the value pending.
    std::string next()
    {
        std::string a = args_[i_++];
        const size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_ = a.substr(eq + 1);
            hasInline_ = true;
            a.erase(eq);
        } else {
            hasInline_ = false;
        }
        return a;
    }
    bool value(std::string& out)
    {
        if (hasInline_) {
            out = inline_;
            hasInline_ = false;
            return true;
        }
        if (done())
            return false;
        out = args_[i_++];
        return true;
    }
    // A "--flag=value" given to a flag that takes none.
    bool strayValue() const { return hasInline_; }

private:
    const std::vector<std::string>& args_;
    size_t i_ = 0;
    std::string inline_;
    bool hasInline_ = false;
};

ParseResult fail(std::string message)
{
    ParseResult r;
    r.error = std::move(message);
    return r;
}

} // namespace

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
    Reader in(args);

    // Only help and version may come before the command.
    if (in.done())
        return fail("no command given (list, switch or watch; see --help)");
    std::string word = in.next();
    if (word == "-h" || word == "--help" || word == "help") {
        o.command = Command::Help;
        return r;
    }
    if (word == "--version" || word == "version") {
        o.command = Command::Version;
        return r;
    }
    if (word == "list")
        o.command = Command::List;
    else if (word == "switch")
        o.command = Command::Switch;
    else if (word == "watch")
        o.command = Command::Watch;
    else if (word == "doctor")
        o.command = Command::Doctor;
    else if (word.rfind("-", 0) == 0)
        return fail("the command comes first: tarvexctl list|switch|watch [options] (see --help)");
    else
        return fail("unknown command \"" + word + "\" (list, switch or watch; see --help)");

    const bool isSwitch = o.command == Command::Switch;
    std::set<std::string> seen;
    bool targetGiven = false;
    while (!in.done()) {
        const std::string opt = in.next();
        if (opt == "-h" || opt == "--help") {
            o = Options{};
            o.command = Command::Help;
            return r;
        }
        if (opt.rfind("-", 0) != 0)
            return fail("unexpected argument \"" + opt + "\"");
        // Every option once: a second --serial or --to is more likely a
        // mistake than a correction.
        if (!seen.insert(opt).second)
            return fail(opt + " is given twice");
        const bool takesValue = opt == "--to" || opt == "--serial" || opt == "--address" || opt == "--fake-card"
            || opt == "--hid-format" || opt == "--timeout" || opt == "--card-wait";
        std::string value;
        if (takesValue && !in.value(value))
            return fail(opt + " needs a value");
        if (!takesValue && in.strayValue())
            return fail(opt + " takes no value");

        if (opt == "--json") {
            o.json = true;
            continue;
        }
        if (!isSwitch || (!takesValue && opt != "--all" && opt != "--no-wait"))
            return fail("unknown option " + opt + (isSwitch ? "" : " for " + std::string(args[0])));

        if (opt == "--to") {
            const std::string t = lower(value);
            if (t == "ccid")
                o.target = Personality::Ccid;
            else if (t == "cdc")
                o.target = Personality::Cdc;
            else if (t == "hid")
                o.target = Personality::Hid;
            else
                return fail("--to takes ccid, cdc or hid, not \"" + value + "\"");
            targetGiven = true;
        } else if (opt == "--serial" || opt == "--address" || opt == "--all") {
            if (o.selector.kind != Selector::None)
                return fail("choose the readers one way only: --serial, --address or --all");
            if (opt == "--serial") {
                if (!isHex(value))
                    return fail("--serial takes the serial number in hexadecimal, as list shows it");
                o.selector = {Selector::Serial, value};
            } else if (opt == "--address") {
                if (value.empty())
                    return fail("--address needs the reader's address, as list shows it");
                o.selector = {Selector::Address, value};
            } else {
                o.selector = {Selector::All, {}};
            }
        } else if (opt == "--fake-card") {
            if (!parseFakeCard(value, o.fakeCard))
                return fail("--fake-card takes 30s, always or never, not \"" + value + "\"");
            o.fakeCardGiven = true;
        } else if (opt == "--hid-format") {
            if (!parseHidFormat(value, o.hidFormat))
                return fail("--hid-format takes hex, hex+hash, hex+shift, hex+hash+shift, decimal or block2, not \""
                    + value + "\"");
            o.hidFormatGiven = true;
        } else if (opt == "--timeout") {
            if (!parseSeconds(value, 1, o.timeoutMs))
                return fail("--timeout takes whole seconds from 1 to 3600, not \"" + value + "\"");
        } else if (opt == "--card-wait") {
            uint32_t ms = 0;
            if (!parseSeconds(value, 0, ms))
                return fail("--card-wait takes whole seconds from 0 to 3600, not \"" + value + "\"");
            o.cardWaitMs = int32_t(ms);
        } else if (opt == "--no-wait") {
            o.wait = false;
        }
    }

    if (isSwitch) {
        if (!targetGiven)
            return fail("switch needs --to ccid, --to cdc or --to hid");
        if (o.fakeCardGiven && o.target != Personality::Ccid)
            return fail("--fake-card applies to --to ccid only");
        if (o.hidFormatGiven && o.target != Personality::Hid)
            return fail("--hid-format applies to --to hid only");
        if (!o.wait && seen.count("--timeout"))
            return fail("--timeout and --no-wait exclude each other");
    }
    return r;
}

std::string helpText()
{
    return R"(usage: tarvexctl list [--json]
       tarvexctl switch --to ccid|cdc|hid [--serial SN | --address ADDR | --all]
                        [--fake-card 30s|always|never] [--hid-format FORMAT]
                        [--timeout SECONDS | --no-wait] [--card-wait SECONDS] [--json]
       tarvexctl watch [--json]
       tarvexctl --help | --version

Lists ZN480 card readers in every USB personality (CCID smart-card reader,
CDC serial port, HID keyboard, MSD drive) and switches them to another one.

list      One scan of the PC/SC readers, serial ports, HID devices and drives;
          one line per reader: personality, serial number, firmware, address
          ("-" where not known). --json: a JSON array, one object per reader
          with "personality", "address", "serial", "firmware" (null when not
          known) and "entry" (the entry text as the window shows it).
switch    The window's mode switch for each chosen reader (firmware check,
          HID reset through kbflash, settings, switch, reboot), then waits
          until the reader is listed again in its new personality. One line
          per reader: "ok", "failed" or "skipped", serial number, FROM->TO,
          address, and the reason. --json: one object per reader instead.
watch     Prints readers as they arrive ("added"), leave ("removed") or
          change ("changed", e.g. once their serial number has been read),
          until interrupted. --json: one object per line with an "event".

Choosing readers for switch:
  --serial SN       the reader with this serial number (hex, any case)
  --address ADDR    the reader at this address: PC/SC reader name, COMn,
                    "ZN480 Keyboard n", or the whole entry text
  --all             every listed reader, one after the other
  Without any of them the one attached reader is switched; with several
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

Progress goes to standard error, and only when it is a terminal.

Exit status: 0 every reader done; 1 a reader failed or did not come back;
2 bad arguments or a refused selection or target (nothing was sent).
)";
}

} // namespace tarvexctl
