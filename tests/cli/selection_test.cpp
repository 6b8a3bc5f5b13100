// Which readers a switch picks, what it refuses, and when a switched reader
// counts as listed again.
#include "come_back.h"
#include "selection.h"

#include <gtest/gtest.h>

namespace tarvexctl {
namespace {

using tarvex::Personality;

std::vector<ReaderInfo> listed(const std::vector<std::string>& entries)
{
    std::vector<ReaderInfo> r;
    for (const std::string& e : entries)
        r.push_back(readerInfo(e));
    return r;
}

const std::string kCcid = "CCID ZN480 Sim 1 00 00 - 01020304 (2.166)";
const std::string kCcidNoCard = "CCID ZN480 Sim 2 00 00";
const std::string kCdc = "COM3 ZN480 CDC - 0A0B0C0D (2.166)";
const std::string kCdcSameSerial = "COM4 ZN480 CDC - 01020304 (2.166)";
const std::string kHid = "HID ZN480 Keyboard 0";
const std::string kMsd = "MSD ZN480 Mass Storage";

struct SelectCase {
    const char* what;
    std::vector<std::string> entries;
    Selector selector;
    std::vector<size_t> chosen; // empty: refused
    const char* refusal = "";   // part of the refusal text
};

TEST(Selection, ChoosesOrRefusesNeverGuesses)
{
    const SelectCase cases[] = {
        {"the one reader, unnamed", {kCdc}, {}, {0}},
        {"none attached", {}, {}, {}, "no reader is attached"},
        {"several, unnamed", {kCcid, kCdc}, {}, {}, "2 readers are attached: choose one with --serial"},
        {"by serial, any case", {kCcid, kCdc}, {Selector::Serial, "0a0b0c0d"}, {1}},
        {"serial nobody has", {kCcid, kCdc}, {Selector::Serial, "FFFFFFFF"}, {},
            "no reader with serial number FFFFFFFF"},
        {"serial nobody has, a HID reader listed", {kHid, kCdc}, {Selector::Serial, "01020304"}, {},
            "a reader in HID personality shows no serial number: choose it with --address"},
        {"serial two readers share", {kCcid, kCdcSameSerial}, {Selector::Serial, "01020304"}, {},
            "2 readers have serial number 01020304: choose one with --address"},
        {"by PC/SC name", {kCcid, kCcidNoCard}, {Selector::Address, "ZN480 Sim 2 00 00"}, {1}},
        {"reader names are case-sensitive", {kCcid}, {Selector::Address, "zn480 sim 1 00 00"}, {},
            "no reader at address"},
        {"by port, any case", {kCcid, kCdc}, {Selector::Address, "com3"}, {1}},
        {"by HID ordinal", {kHid}, {Selector::Address, "ZN480 Keyboard 0"}, {0}},
        {"by entry key", {kMsd, kCdc}, {Selector::Address, "MSD ZN480 Mass Storage"}, {0}},
        {"by whole entry text", {kCcid, kCdc}, {Selector::Address, kCdc}, {1}},
        {"a prefix is no address", {kCdc}, {Selector::Address, "COM"}, {}, "no reader at address \"COM\""},
        {"all, in list order", {kHid, kCcid, kMsd}, {Selector::All, {}}, {0, 1, 2}},
        {"all of none", {}, {Selector::All, {}}, {}, "no reader is attached"},
    };
    for (const SelectCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Selection s = selectReaders(listed(c.entries), c.selector);
        EXPECT_EQ(s.readers, c.chosen);
        if (c.chosen.empty())
            EXPECT_NE(s.refusal.find(c.refusal), std::string::npos) << s.refusal;
        else
            EXPECT_EQ(s.refusal, "");
    }
}

TEST(Selection, TargetsAreTheWindowsButtons)
{
    const struct {
        std::string entry;
        Personality to;
        bool offered;
    } cases[] = {
        {kCcid, Personality::Ccid, true},
        {kCcid, Personality::Cdc, true},
        {kCcid, Personality::Hid, true},
        {kCdc, Personality::Ccid, true},
        {kCdc, Personality::Cdc, false},
        {kCdc, Personality::Hid, true},
        {kHid, Personality::Ccid, true},
        {kHid, Personality::Cdc, true},
        {kHid, Personality::Hid, false},
        {kMsd, Personality::Ccid, true},
    };
    for (const auto& c : cases) {
        const std::string refusal = targetRefusal(readerInfo(c.entry), c.to);
        EXPECT_EQ(refusal.empty(), c.offered) << c.entry << " -> " << personalityName(c.to) << ": " << refusal;
    }
    EXPECT_EQ(targetRefusal(readerInfo(kCdc), Personality::Cdc),
        "the reader 0A0B0C0D is in CDC personality, which cannot be switched to CDC");
}

// The rule of a wait that began with `before` listed.
ComeBackRule rule(Personality target, std::optional<std::string> serial, const std::vector<std::string>& before = {},
    const std::set<std::string>& claimed = {}, bool othersPending = false)
{
    ComeBackRule r;
    r.target = target;
    r.serial = std::move(serial);
    for (const std::string& e : before) {
        r.textsBefore.insert(e);
        r.keysBefore.insert(tarvex::FilterExtra(e));
    }
    r.claimed = claimed;
    r.othersPending = othersPending;
    return r;
}

struct BackCase {
    const char* what;
    ComeBackRule rule;
    std::vector<std::string> entries;
    int found;
    bool unknown = false;
};

TEST(ComeBack, ANewEntryOfTheTargetPersonalityBySerialWhereItShowsOne)
{
    const std::vector<std::string> before{"COM4 ZN480 CDC - 11111111 (2.166)", kHid};
    const BackCase cases[] = {
        {"by serial", rule(Personality::Cdc, "01020304", before), {kCdc, kCdcSameSerial}, 1},
        {"serial in any case", rule(Personality::Cdc, "0a0b0c0d"), {kCdc}, 0},
        {"same serial, other personality", rule(Personality::Ccid, "0A0B0C0D"), {kCdc}, -1},
        {"not yet", rule(Personality::Ccid, "01020304"), {kCdc}, -1},
        {"a CCID reader back without a card shows no serial", rule(Personality::Ccid, "01020304"), {kCcidNoCard}, 0,
            true},
        {"that unknown one was listed already", rule(Personality::Ccid, "01020304", {kCcidNoCard}), {kCcidNoCard}, -1},
        {"the serial beats an unknown new entry", rule(Personality::Ccid, "01020304"), {kCcidNoCard, kCcid}, 1},
        {"another reader's serial is no match", rule(Personality::Cdc, "01020304"), {kCdc}, -1},
        {"HID: a keyboard not listed before", rule(Personality::Hid, std::nullopt, before),
            {"HID ZN480 Keyboard 0", "HID ZN480 Keyboard 1"}, 1},
        {"HID: only the keyboard listed before", rule(Personality::Hid, "01020304", before), {kHid}, -1},
        {"unknown serial: any new entry of the target", rule(Personality::Cdc, std::nullopt, before),
            {"COM4 ZN480 CDC - 11111111 (2.166)", kCdc}, 1, true},
        // Its serial number on an entry that showed it before the switch is
        // not the reader coming back (a second reader with that number).
        {"serial match on an entry listed before the switch", rule(Personality::Cdc, "01020304", {kCdcSameSerial}),
            {kCdcSameSerial}, -1},
        // A PC/SC reader stays listed while its card is away: the same key
        // showing the serial number since the switch is the reader.
        {"a listed slot that shows the serial since the switch",
            rule(Personality::Ccid, "01020304", {"CCID ZN480 Sim 1 00 00"}), {kCcid}, 0},
        {"an entry credited to another reader of the run",
            rule(Personality::Hid, std::nullopt, {}, {"HID ZN480 Keyboard 0"}), {kHid, "HID ZN480 Keyboard 1"}, 1},
        // Another reader of this run is still on its way: an entry without
        // a serial number may be that one.
        {"no serial while another reader is pending", rule(Personality::Ccid, "01020304", {}, {}, true), {kCcidNoCard},
            -1},
        {"but its serial number is its own", rule(Personality::Ccid, "01020304", {}, {}, true), {kCcidNoCard, kCcid},
            1},
    };
    for (const BackCase& c : cases) {
        const ComeBack b = findComeBack(c.entries, c.rule);
        EXPECT_EQ(b.index, c.found) << c.what;
        if (b.index >= 0) {
            EXPECT_EQ(b.unknown, c.unknown) << c.what;
        }
    }
}

} // namespace
} // namespace tarvexctl
