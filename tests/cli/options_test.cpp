// The command line: what each spelling means, and the mistakes refused
// before anything is sent.
#include "options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace tarvexctl {
namespace {

using tarvex::Personality;

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string t; in >> t;)
        w.push_back(t);
    return w;
}

struct Good {
    std::string line;
    std::function<void(const Options&)> check;
};

TEST(Options, AcceptedCommandLines)
{
    const Good cases[] = {
        {"list",
            [](const Options& o) {
                EXPECT_EQ(o.command, Command::List);
                EXPECT_FALSE(o.json);
            }},
        {"list --json", [](const Options& o) { EXPECT_TRUE(o.json); }},
        {"watch --json",
            [](const Options& o) {
                EXPECT_EQ(o.command, Command::Watch);
                EXPECT_TRUE(o.json);
            }},
        {"--help", [](const Options& o) { EXPECT_EQ(o.command, Command::Help); }},
        {"help", [](const Options& o) { EXPECT_EQ(o.command, Command::Help); }},
        {"switch --to cdc --help", [](const Options& o) { EXPECT_EQ(o.command, Command::Help); }},
        {"--version", [](const Options& o) { EXPECT_EQ(o.command, Command::Version); }},
        {"switch --to ccid",
            [](const Options& o) {
                EXPECT_EQ(o.command, Command::Switch);
                EXPECT_EQ(o.target, Personality::Ccid);
                EXPECT_EQ(o.selector.kind, Selector::None);
                // The documented defaults.
                EXPECT_EQ(o.fakeCard, tarvex::kFakeCardStandard);
                EXPECT_EQ(o.timeoutMs, 30000u);
                EXPECT_TRUE(o.wait);
                EXPECT_EQ(o.cardWaitMs, -1);
            }},
        {"switch --to=CDC --serial=0a0B0c0D",
            [](const Options& o) {
                EXPECT_EQ(o.target, Personality::Cdc);
                EXPECT_EQ(o.selector.kind, Selector::Serial);
                EXPECT_EQ(o.selector.value, "0a0B0c0D");
            }},
        {"switch --address COM3 --to hid",
            [](const Options& o) {
                EXPECT_EQ(o.target, Personality::Hid);
                EXPECT_EQ(o.selector.kind, Selector::Address);
                EXPECT_EQ(o.selector.value, "COM3");
                EXPECT_EQ(o.hidFormat.format, 1);
                EXPECT_EQ(o.hidFormat.subOptions, 0);
            }},
        {"switch --to ccid --all --fake-card always --timeout 5s --card-wait 0",
            [](const Options& o) {
                EXPECT_EQ(o.selector.kind, Selector::All);
                EXPECT_EQ(o.fakeCard, tarvex::kFakeCardAlways);
                EXPECT_EQ(o.timeoutMs, 5000u);
                EXPECT_EQ(o.cardWaitMs, 0);
            }},
        {"switch --to ccid --fake-card never --no-wait --json",
            [](const Options& o) {
                EXPECT_EQ(o.fakeCard, tarvex::kFakeCardNever);
                EXPECT_FALSE(o.wait);
                EXPECT_TRUE(o.json);
            }},
        {"switch --to ccid --fake-card 30s",
            [](const Options& o) { EXPECT_EQ(o.fakeCard, tarvex::kFakeCardStandard); }},
        // "--" ends the options (scripts put it before values they pass on).
        {"switch --to ccid --all --", [](const Options& o) { EXPECT_EQ(o.selector.kind, Selector::All); }},
        {"switch --to ccid --dry-run -v",
            [](const Options& o) {
                EXPECT_TRUE(o.dryRun);
                EXPECT_TRUE(o.verbose);
            }},
        {"wait --serial 01020304 --personality MSD --timeout 5",
            [](const Options& o) {
                EXPECT_EQ(o.command, Command::Wait);
                EXPECT_TRUE(o.personalityGiven);
                EXPECT_EQ(o.personality, Personality::Msd);
                EXPECT_EQ(o.timeoutMs, 5000u);
            }},
        {"info --address=COM3 --json --verbose",
            [](const Options& o) {
                EXPECT_EQ(o.command, Command::Info);
                EXPECT_EQ(o.selector.value, "COM3");
                EXPECT_TRUE(o.verbose);
            }},
        {"doctor --json", [](const Options& o) { EXPECT_EQ(o.command, Command::Doctor); }},
    };
    for (const Good& c : cases) {
        SCOPED_TRACE(c.line);
        const ParseResult r = parseArguments(words(c.line));
        ASSERT_EQ(r.error, "");
        c.check(r.options);
    }
}

TEST(Options, HidFormatsMapToTheDialogsChoices)
{
    const struct {
        const char* text;
        int16_t format, sub;
    } cases[] = {
        {"hex", 1, 0},
        {"hex+hash", 1, 1},
        {"hex+shift", 1, 2},
        {"hex+hash+shift", 1, 3},
        {"HEX+SHIFT+HASH", 1, 3},
        {"decimal", 2, 0},
        {"block2", 3, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const ParseResult r = parseArguments({"switch", "--to", "hid", "--hid-format", c.text});
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(r.options.hidFormat.format, c.format);
        EXPECT_EQ(r.options.hidFormat.subOptions, c.sub);
    }
    for (const char* bad : {"hex+", "hex+hash+hash", "+hash", "hexa", "dec", "block", "hex+caps", ""}) {
        tarvex::HidModeChoice choice{9, 9};
        EXPECT_FALSE(parseHidFormat(bad, choice)) << bad;
        EXPECT_EQ(choice.format, 9) << "a refused spelling must leave the choice alone: " << bad;
    }
    EXPECT_EQ(hidFormatName({1, 3}), "hex+hash+shift");
    EXPECT_EQ(hidFormatName({3, 0}), "block2");
}

TEST(Options, MistakesAreRefusedWithTheReason)
{
    const struct {
        const char* line;
        const char* says;
    } cases[] = {
        {"", "no command"},
        {"--json list", "command comes first"},
        {"lsit", "unknown command \"lsit\""},
        {"list --serial 01020304", "--serial is not an option of list"},
        {"watch --all", "--all is not an option of watch"},
        {"list --json=yes", "--json takes no value"},
        {"list extra", "unexpected argument \"extra\""},
        {"switch", "switch needs --to"},
        {"switch --serial 01020304", "switch needs --to"},
        {"switch --to msd", "--to takes ccid, cdc or hid"},
        {"switch --to", "--to needs a value"},
        {"switch --to cdc --to ccid", "--to is given twice"},
        {"switch --to cdc --serial 0102030G", "--serial takes the serial number in hexadecimal"},
        {"switch --to cdc --serial 01020304 --all", "one way only"},
        {"switch --to cdc --address COM3 --serial 01020304", "one way only"},
        {"switch --to cdc --address=", "--address needs the reader's address"},
        {"switch --to cdc --fake-card never", "--fake-card applies to --to ccid only"},
        {"switch --to ccid --hid-format hex", "--hid-format applies to --to hid only"},
        {"switch --to ccid --fake-card sometimes", "--fake-card takes 30s, always or never"},
        {"switch --to hid --hid-format octal", "--hid-format takes hex"},
        {"switch --to cdc --timeout 0", "--timeout takes whole seconds from 1 to 3600"},
        {"switch --to cdc --timeout 3601", "--timeout takes whole seconds"},
        {"switch --to cdc --timeout 2.5", "--timeout takes whole seconds"},
        {"switch --to cdc --timeout -3", "--timeout takes whole seconds"},
        {"switch --to cdc --card-wait many", "--card-wait takes whole seconds from 0"},
        {"switch --to cdc --timeout 5 --no-wait", "exclude each other"},
        {"switch --to cdc --no-wait=1", "--no-wait takes no value"},
        {"switch --to cdc --force", "unknown option --force"},
        // An option nobody has is unknown, whatever follows it.
        {"switch --to cdc --force=1", "unknown option --force"},
        {"list --timeout 5", "--timeout is not an option of list"},
        {"list --timeout", "--timeout is not an option of list"},
        {"watch --dry-run", "--dry-run is not an option of watch"},
        {"--help=x", "--help takes no value"},
        {"switch --help=x", "--help takes no value"},
        {"--version extra", "unexpected argument \"extra\""},
        {"list -- extra", "unexpected argument \"extra\""},
        {"list -v -v", "-v is given twice"},
        {"list -v --verbose", "--verbose is given twice"},
        {"wait --personality ccid", "wait needs --serial or --address"},
        {"wait --serial 01020304 --personality usb", "--personality takes ccid, cdc, hid or msd"},
        {"info --all", "--all is not an option of info"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ParseResult r = parseArguments(words(c.line));
        EXPECT_NE(r.error.find(c.says), std::string::npos) << "error: " << r.error;
    }
}

// The options a page names: "\-\-fake\-card" in roff is --fake-card.
std::set<std::string> optionsNamedIn(const std::string& text, bool roff)
{
    const std::regex option(roff ? R"((^|[^a-z\\])((\\-){1,2}[a-z](\\-|[a-z])*))" : R"((^|[^a-z-])(--?[a-z][a-z-]*))");
    std::set<std::string> names;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it) {
        std::string name = (*it)[2];
        if (roff)
            name = std::regex_replace(name, std::regex(R"(\\-)"), "-");
        while (!name.empty() && name.back() == '-')
            name.pop_back();
        names.insert(name);
    }
    return names;
}

// --help and the manual page name exactly the options the parser takes,
// and every command and exit status.
TEST(Options, HelpAndManualPageMatchTheParser)
{
    std::set<std::string> known{"-h", "--help", "--version"};
    for (const OptionSpec& spec : knownOptions())
        known.insert(spec.name);

    std::ifstream in(TARVEXCTL_MANPAGE);
    ASSERT_TRUE(in) << TARVEXCTL_MANPAGE;
    const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The examples call other tools too (jq -r).
    const size_t examples = page.find(".SH EXAMPLES");
    std::set<std::string> inPage = optionsNamedIn(page.substr(0, examples), true);
    std::set<std::string> inHelp = optionsNamedIn(helpText(), false);
    inHelp.erase("-h");
    known.erase("-h");
    inPage.erase("-h");
    EXPECT_EQ(inPage, known) << "the manual page";
    EXPECT_EQ(inHelp, known) << "--help";

    for (Command c : {Command::List, Command::Switch, Command::Watch, Command::Wait, Command::Info, Command::Doctor}) {
        const std::string name = commandName(c);
        EXPECT_NE(page.find(".B tarvexctl " + name), std::string::npos) << name;
        EXPECT_NE(page.find(".TP\n.B " + name + "\n"), std::string::npos) << name;
        EXPECT_NE(helpText().find("\n" + name + " "), std::string::npos) << name;
    }
    // Each option of each command in that command's synopsis line of --help.
    for (const OptionSpec& spec : knownOptions())
        for (Command c : spec.commands) {
            const std::string help = helpText();
            const size_t at = help.find(std::string("tarvexctl ") + commandName(c) + " ");
            ASSERT_NE(at, std::string::npos);
            const size_t end = help.find("tarvexctl ", at + 10);
            const std::string synopsis = help.substr(at, end - at);
            if (std::string(spec.name) != "--verbose") {
                EXPECT_NE(synopsis.find(spec.name), std::string::npos) << commandName(c) << " " << spec.name;
            }
        }
    for (const char* status : {"0", "1", "2", "3", "4", "5", "130"}) {
        EXPECT_NE(page.find(std::string(".TP\n.B ") + status + "\n"), std::string::npos) << status;
        EXPECT_NE(helpText().find(std::string(status) + " "), std::string::npos) << status;
    }
}

} // namespace
} // namespace tarvexctl
