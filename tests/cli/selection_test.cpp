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

struct BackCase {
    const char* what;
    ComeBackRule rule;
    std::vector<std::string> entries;
    int found;
};

TEST(ComeBack, BySerialOrByANewEntryOfTheTargetPersonality)
{
    const std::set<std::string> before{"COM4 ZN480 CDC", "HID ZN480 Keyboard 0"};
    const BackCase cases[] = {
        {"by serial", {Personality::Cdc, "01020304", before}, {kCdc, kCdcSameSerial}, 1},
        {"serial in any case", {Personality::Cdc, "0a0b0c0d", {}}, {kCdc}, 0},
        {"same serial, other personality", {Personality::Ccid, "0A0B0C0D", {}}, {kCdc}, -1},
        {"not yet", {Personality::Ccid, "01020304", {}}, {kCdc}, -1},
        {"a CCID reader back without a card shows no serial", {Personality::Ccid, "01020304", {}}, {kCcidNoCard}, 0},
        {"that unknown one was listed already", {Personality::Ccid, "01020304", {"CCID ZN480 Sim 2 00 00"}},
            {kCcidNoCard}, -1},
        {"the serial beats an unknown new entry", {Personality::Ccid, "01020304", {}}, {kCcidNoCard, kCcid}, 1},
        {"another reader's serial is no match", {Personality::Cdc, "01020304", {}}, {kCdc}, -1},
        {"HID: a keyboard not listed before", {Personality::Hid, std::nullopt, before},
            {"HID ZN480 Keyboard 0", "HID ZN480 Keyboard 1"}, 1},
        {"HID: only the keyboard listed before", {Personality::Hid, "01020304", before}, {"HID ZN480 Keyboard 0"}, -1},
        {"unknown serial: any new entry of the target", {Personality::Cdc, std::nullopt, before},
            {"COM4 ZN480 CDC - 01020304 (2.166)", kCdc}, 1},
    };
    for (const BackCase& c : cases)
        EXPECT_EQ(findComeBack(c.entries, c.rule), c.found) << c.what;
}

} // namespace
} // namespace tarvexctl
