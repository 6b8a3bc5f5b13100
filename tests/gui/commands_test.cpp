#include "harness.h"
#include <gtest/gtest.h>

namespace tarvex::guitest {

namespace {

// A CDC reader (the transport is irrelevant to the commands) whose serial
// number reply is 01 02 03 04.
struct Reader : Gui {
    Reader()
    {
        useCdc();
        answers["FFCAF00004"] = hexBytes("010203049000");
    }
    const std::vector<std::string>& sent() const { return world.serchan.sent; }
};

} // namespace

TEST(ReaderCommands, SwitchAndFakeCardRecords)
{
    struct Case {
        bool fake;
        int16_t selector;
        const char* command;
    } cases[] = {
        {false, 0, "FEDD02000A00FF01020304 77344D58"},
        {false, 1, "FEDD02000A01FE01020304 AFF5A6FE"},
        {false, 3, "FEDD02000A03FC01020304 07011969"},
        {true, 255, "FEDD02010AFF0001020304 E9F0F118"},
        {true, 2, "FEDD02010A02FD01020304 DFC0F2CF"},
        {true, 0, "FEDD02010A00FF01020304 77344D58"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        Reader r;
        const bool ok = c.fake ? r.form->core().session().SendCCIDFake(c.selector)
                               : r.form->core().session().SwitchToDevice(c.selector);
        EXPECT_TRUE(ok);
        std::string expected = c.command;
        expected.erase(expected.find(' '), 1);
        std::vector<std::string> want{"FFCAF00004", expected};
        if (!c.fake)
            want.push_back("FFFEFC0000"); // an accepted switch reboots
        EXPECT_EQ(r.sent(), want);
        EXPECT_EQ(r.world.clock.sleeps, c.fake ? std::vector<uint32_t>{} : std::vector<uint32_t>{2000});
    }
}

TEST(ReaderCommands, RefusedSwitchOrFakeCardSendsNoReboot)
{
    for (bool fake : {false, true}) {
        Reader r;
        r.answers["FEDD02000A00FF0102030477344D58"] = hexBytes("6A82");
        r.answers["FEDD02010A00FF0102030477344D58"] = hexBytes("6A82");
        EXPECT_FALSE(fake ? r.form->core().session().SendCCIDFake(0) : r.form->core().session().SwitchToDevice(0));
        EXPECT_EQ(r.sent().size(), 2u);
        EXPECT_TRUE(r.world.clock.sleeps.empty());
    }
}

TEST(ReaderCommands, SerialNumberOfWrongLengthStopsBeforeSending)
{
    for (const char* sn : {"0102039000", "01020304059000", "9000", ""}) {
        for (bool fake : {false, true}) {
            SCOPED_TRACE(sn);
            Reader r;
            r.answers["FFCAF00004"] = hexBytes(sn);
            EXPECT_FALSE(fake ? r.form->core().session().SendCCIDFake(2) : r.form->core().session().SwitchToDevice(1));
            EXPECT_EQ(r.sent(), std::vector<std::string>{"FFCAF00004"});
        }
    }
}

TEST(ReaderCommands, SelectorOutsideAByteIsRefused)
{
    Reader r;
    EXPECT_FALSE(r.form->core().session().SwitchToDevice(256));
    EXPECT_FALSE(r.form->core().session().SendCCIDFake(-1));
    EXPECT_TRUE(r.sent().empty());
}

TEST(ReaderCommands, RebootPausesTwoSecondsWhateverTheAnswer)
{
    for (const char* answer : {"9000", "6A82", ""}) {
        SCOPED_TRACE(answer);
        Reader r;
        r.answers["FFFEFC0000"] = hexBytes(answer);
        EXPECT_EQ(r.form->core().session().RebootDevice(), std::string(answer) == "9000");
        // A reboot left unanswered first waits out the reply time-out, with
        // a pause of 1 ms between its looks; the reboot's own pause is the
        // one long sleep, and the last.
        std::vector<uint32_t> sleeps = r.world.clock.sleeps;
        ASSERT_FALSE(sleeps.empty());
        EXPECT_EQ(sleeps.back(), 2000u);
        sleeps.pop_back();
        EXPECT_EQ(sleeps, std::vector<uint32_t>(sleeps.size(), 1));
        EXPECT_EQ(sleeps.empty(), std::string(answer) != "");
        EXPECT_EQ(r.sent(), std::vector<std::string>{"FFFEFC0000"});
    }
}

TEST(ReaderCommands, HidConfigurationWrites)
{
    struct Case {
        const char* read;
        int16_t format, sub;
        const char* write;
    } cases[] = {
        {"0000", 1, 3, "FEDD0302026040"},
        {"FFFF", 1, 0, "FEDD0302029FFD"},
        {"0000", 1, 1, "FEDD0302022040"},
        {"0000", 2, 3, "FEDD0302020042"}, // sub-options only count for format 1
        {"FFFF", 3, 0, "FEDD030202FFBF"},
        {"1234", 0, 3, "FEDD0302021234"}, // unknown format: written back as read
        {"1234", 9, 0, "FEDD0302021234"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.write);
        Reader r;
        r.answers["FEDD030200"] = hexBytes(std::string(c.read) + "9000");
        EXPECT_TRUE(r.form->core().session().SendHIDMode(c.format, c.sub));
        EXPECT_EQ(r.sent(), (std::vector<std::string>{"FEDD030200", c.write}));
    }
}

TEST(ReaderCommands, HidConfigurationNeedsExactlyTwoBytes)
{
    for (const char* answer : {"009000", "0000009000", "9000", ""}) {
        SCOPED_TRACE(answer);
        Reader r;
        r.answers["FEDD030200"] = hexBytes(answer);
        EXPECT_FALSE(r.form->core().session().SendHIDMode(1, 0));
        EXPECT_EQ(r.sent(), std::vector<std::string>{"FEDD030200"});
    }
    Reader r; // the read's status does not matter, the write's does
    r.answers["FEDD030200"] = hexBytes("00006A82");
    r.answers["FEDD0302020042"] = hexBytes("6A82");
    EXPECT_FALSE(r.form->core().session().SendHIDMode(2, 0));
    EXPECT_EQ(r.sent().size(), 2u);
}

TEST(ReaderCommands, IdentityTexts)
{
    struct Case {
        const char* answer;
        const char* fw;
    } cases[] = {
        {"000200A69000", "(2.166)"},
        {"9000", "(0.0)"},
        {"FFFF80009000", "(65535.32768)"}, // halves print as unsigned
        {"00A69000", "(166.166)"},         // short reply: both halves read the same digits
        {"000200A66A82", "000200A6"},      // other status: the raw reply
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        Reader r;
        r.answers["FFCAE00004"] = hexBytes(c.answer);
        EXPECT_EQ(r.form->core().session().GetReaderFW(), c.fw);
    }
    Reader r;
    EXPECT_EQ(r.form->core().session().GetReaderSN(), "01020304");
    r.answers["FFCAF00004"] = hexBytes("01026A82"); // status is not judged
    EXPECT_EQ(r.form->core().session().GetReaderSN(), "0102");
    r.answers["FFCAF00004"] = {};
    EXPECT_EQ(r.form->core().session().GetReaderSN(), "");
}

TEST(ReaderCommands, CheckVersionAgainstTwoPointMinimum)
{
    const QString tooOld = "Version equal or greater than 2.166 is required for this mode.";
    struct Case {
        const char* entry;
        int result;
        bool message;
    } cases[] = {
        {"COM3 ZN480 CDC - 01020304 (2.166)", 1, false},
        {"COM3 ZN480 CDC - 01020304 (2.200)", 1, false},
        {"COM3 ZN480 CDC - 01020304 (2.165)", 0, true},
        {"COM3 ZN480 CDC - 01020304 (1.200)", 0, true},
        {"COM3 ZN480 CDC - 01020304 (0.0)", 0, true},
        {"COM3 ZN480 CDC - 01020304 (3.100)", 1, false},
        {"COM3 ZN480 CDC - 01020304 (2.99999999999999)", 1, false}, // huge minor: no overflow
        {"COM3 ZN480 CDC - 01020304 (2.65536)", 1, false},
        {"CCID ZN480 Sim 0", -1, false},        // no firmware known
        {"CCID ZN480 (0001) 00 00", -1, false}, // "(" in a name is no firmware
        {"CCID ZN480 (0.1) 00 00 - 01020304 (2.166)", 1, false},
        {"COM3 ZN480 CDC - 01020304 000200A6", -1, false}, // raw reply, no "("
        {"COM3 ZN480 CDC - 01020304 (2166)", 0, false},    // no "." after "("
        {"COM3 ZN480 CDC - 01020304 (x.166)", 0, false},   // garbage: unreadable
        {"COM3 ZN480 CDC - 01020304 (2.)", 0, false},
        {"COM3 ZN480 CDC - 01020304 (.166)", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        Gui g;
        g.select(c.entry);
        EXPECT_EQ(g.form->core().CheckVersion(166), c.result);
        EXPECT_EQ(g.world.ui.messages, c.message ? QStringList{tooOld} : QStringList{});
    }
    Gui g; // nothing selected
    EXPECT_EQ(g.form->core().CheckVersion(166), -1);
}

} // namespace tarvex::guitest
