// What list, watch and switch print for an entry: the text columns, the JSON
// object, and the escaping of names that are the system's bytes.
#include "json_text.h"
#include "reader_info.h"

#include <gtest/gtest.h>

namespace tarvexctl {
namespace {

TEST(JsonString, EscapesWhatJsonMustAndReplacesWhatIsNoUtf8)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"", "\"\""},
        {"ZN480 Sim 1 00 00", "\"ZN480 Sim 1 00 00\""},
        {"say \"hi\" \\ there", "\"say \\\"hi\\\" \\\\ there\""},
        {"a\nb\tc\rd\be\ff", "\"a\\nb\\tc\\rd\\be\\ff\""},
        {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\""},
        {std::string("nul\0in", 6), "\"nul\\u0000in\""},
        // Valid UTF-8 of every length passes unchanged.
        {"Leser \xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80", "\"Leser \xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        // Bytes that are no UTF-8: a Latin-1 u-umlaut, a stray continuation
        // byte, an overlong '/', a surrogate, past U+10FFFF, cut short.
        {"\xFC", "\"\xEF\xBF\xBD\""},
        {"a\x80z", "\"a\xEF\xBF\xBDz\""},
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        // A bad byte does not swallow the good character after it.
        {"\xE2\xC3\xBC", "\"\xEF\xBF\xBD\xC3\xBC\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(jsonString(c.in), c.out) << ::testing::PrintToString(c.in);
}

TEST(Printable, ControlCharactersOfANameCannotReachTheTerminal)
{
    EXPECT_EQ(printable("ZN480 \x1b[2Jx"), "ZN480 \\x1B[2Jx");
    EXPECT_EQ(printable(std::string("a\0b\nc\x7f", 6)), "a\\x00b\\x0Ac\\x7F");
    EXPECT_EQ(printable("\xC3\xBC"), "\xC3\xBC");
    const struct {
        std::string name;
        bool utf8;
        std::string shown;
    } cases[] = {
        // Every \x of the output is an escape: a backslash of the name is one.
        {"ZN480 \\x1B", true, "ZN480 \\x5Cx1B"},
        // C1 controls (CSI, U+009B) as UTF-8 ...
        {"a\xC2\x9B"
         "2Jb",
            true, "a\\xC2\\x9B2Jb"},
        {"\xC2\xA0x", true, "\xC2\xA0x"}, // U+00A0 is a character
        // ... and bytes that are no UTF-8 where names are UTF-8,
        {"Caf\xE9 \x9B", true, "Caf\\xE9 \\x9B"},
        // but a code page's characters where names are in one.
        {"Caf\xE9", false, "Caf\xE9"},
        {"\x1B", false, "\\x1B"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(printable(c.name, c.utf8), c.shown) << c.shown;
}

struct EntryCase {
    std::string entry;
    std::string text;
    std::string json;
};

TEST(ReaderLines, EveryPersonalityAsTextAndJson)
{
    const EntryCase cases[] = {
        {"CCID ZN480 Sim 1 00 00 - 01020304 (2.166)", "CCID  01020304  2.166    ZN480 Sim 1 00 00",
            R"j({"personality":"CCID","address":"ZN480 Sim 1 00 00","serial":"01020304","firmware":"2.166","entry":"CCID ZN480 Sim 1 00 00 - 01020304 (2.166)"})j"},
        // A CCID reader without a card: nothing read yet.
        {"CCID ZN480 Sim 1 00 01", "CCID  -         -        ZN480 Sim 1 00 01",
            R"j({"personality":"CCID","address":"ZN480 Sim 1 00 01","serial":null,"firmware":null,"entry":"CCID ZN480 Sim 1 00 01"})j"},
        {"COM3 ZN480 CDC - 5A0C3E11 (2.166)", "CDC   5A0C3E11  2.166    COM3",
            R"j({"personality":"CDC","address":"COM3","serial":"5A0C3E11","firmware":"2.166","entry":"COM3 ZN480 CDC - 5A0C3E11 (2.166)"})j"},
        {"HID ZN480 Keyboard 1", "HID   -         -        ZN480 Keyboard 1",
            R"j({"personality":"HID","address":"ZN480 Keyboard 1","serial":null,"firmware":null,"entry":"HID ZN480 Keyboard 1"})j"},
        {"MSD ZN480 Mass Storage", "MSD   -         -        -",
            R"j({"personality":"MSD","address":null,"serial":null,"firmware":null,"entry":"MSD ZN480 Mass Storage"})j"},
        // A firmware read that failed leaves the reply's text: no version.
        {"COM4 ZN480 CDC - 01020304 6A82", "CDC   01020304  -        COM4",
            R"j({"personality":"CDC","address":"COM4","serial":"01020304","firmware":null,"entry":"COM4 ZN480 CDC - 01020304 6A82"})j"},
        // Versions past four digits keep their columns apart.
        {"COM4 ZN480 CDC - 01020304 (65535.65535)", "CDC   01020304  65535.65535  COM4",
            R"j({"personality":"CDC","address":"COM4","serial":"01020304","firmware":"65535.65535","entry":"COM4 ZN480 CDC - 01020304 (65535.65535)"})j"},
        // A reader name with a quote and a control byte.
        {"CCID ZN480 \"Desk\"\x01 00 00", "CCID  -         -        ZN480 \"Desk\"\\x01 00 00",
            R"j({"personality":"CCID","address":"ZN480 \"Desk\"\u0001 00 00","serial":null,"firmware":null,"entry":"CCID ZN480 \"Desk\"\u0001 00 00"})j"},
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.entry);
        const ReaderInfo r = readerInfo(c.entry);
        EXPECT_EQ(textLine(r), c.text);
        EXPECT_EQ(jsonLine(r), c.json);
    }
    EXPECT_EQ(jsonLine(readerInfo("HID ZN480 Keyboard 0"), "removed")
                  .rfind(R"j({"event":"removed","personality":"HID",)j", 0),
        0u);
}

TEST(JsonObject, NumbersAndFlagsInOrder)
{
    JsonObject o;
    o.add("a", 2.34, 1).add("b", true).add("c", std::optional<std::string>()).add("d", "x");
    EXPECT_EQ(o.str(), R"j({"a":2.3,"b":true,"c":null,"d":"x"})j");
}

} // namespace
} // namespace tarvexctl
