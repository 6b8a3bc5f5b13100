// The simulated reader's command answers, checked against hand-made bytes.
#include "zn480sim/reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zn480sim;

namespace {

std::vector<uint8_t> hex(const std::string& s)
{
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < s.size();) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        v.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return v;
}

std::string str(const std::vector<uint8_t>& v)
{
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : v) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

std::string send(Reader& r, const std::string& apdu)
{
    return str(r.process(hex(apdu)));
}

} // namespace

TEST(RecordCrc, KnownVectors)
{
    struct Case {
        const char* text;
        uint32_t start;
        uint32_t want;
    } cases[] = {
        {"abc", 0x12345678, 0xEA312A27},
        {"abc", 0, 0xC7E3FC7E},
        {"a", 0x12345678, 0x0307FB70},
        {"", 0xDEADBEEF, 0xDEADBEEF},
    };
    for (auto& c : cases) {
        std::string t = c.text;
        EXPECT_EQ(recordCrc(reinterpret_cast<const uint8_t*>(t.data()), t.size(), c.start), c.want) << c.text;
    }
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(recordCrc(data + 3, 4, recordCrc(data, 3, 0x12345678)), recordCrc(data, 7, 0x12345678));
}

TEST(Reader, IdentityAndConfigCommands)
{
    Reader r;
    struct Case {
        const char* apdu;
        const char* reply;
    } cases[] = {
        {"FFCAE00000", "010203049000"},
        {"FFCAF00004", "010203049000"},
        {"FFCAE00004", "000200A69000"},
        {"FEDD030200", "00009000"},
        {"FEDD030202 6040", "9000"},
        {"FEDD030200", "60409000"},
        {"FFCAE0000400", "6700"},  // trailing byte after Le
        {"FEDD030202 60", "6700"}, // one config byte short
        {"FEDD02000A 00FF01020304", "6700"},
        {"FFFEFC00", "6700"},
        {"00A4040000", "6D00"},
        {"FF", "6D00"},
        {"", "6D00"},
    };
    for (auto& c : cases)
        EXPECT_EQ(send(r, c.apdu), c.reply) << c.apdu;
    ASSERT_EQ(r.log().size(), std::size(cases));
    EXPECT_EQ(r.log()[4], "FEDD0302026040");
    EXPECT_EQ(r.log()[12], "");
}

TEST(Reader, SwitchAndFakeCardRecordsOfTheCommandTable)
{
    struct Case {
        const char* apdu;
        std::optional<Personality> pending;
        uint8_t fake;
    } cases[] = {
        {"FE DD 02 00 0A 00 FF 01 02 03 04 77 34 4D 58", Personality::CCID, 0},
        {"FE DD 02 00 0A 01 FE 01 02 03 04 AF F5 A6 FE", Personality::CDC, 0},
        {"FE DD 02 00 0A 03 FC 01 02 03 04 07 01 19 69", Personality::HID, 0},
        {"FE DD 02 01 0A FF 00 01 02 03 04 E9 F0 F1 18", std::nullopt, 255},
        {"FE DD 02 01 0A 02 FD 01 02 03 04 DF C0 F2 CF", std::nullopt, 2},
        {"FE DD 02 01 0A 00 FF 01 02 03 04 77 34 4D 58", std::nullopt, 0},
    };
    for (auto& c : cases) {
        ReaderConfig cfg;
        cfg.fakeCard = 7;
        Reader r(cfg);
        EXPECT_EQ(send(r, c.apdu), "9000") << c.apdu;
        EXPECT_EQ(r.pendingPersonality(), c.pending) << c.apdu;
        EXPECT_EQ(r.config().fakeCard, c.pending ? 7 : c.fake) << c.apdu;
    }
}

TEST(Reader, BadRecordsAreRefused)
{
    struct Case {
        const char* what;
        const char* apdu;
    } cases[] = {
        {"complement", "FEDD02000A 01FF01020304AFF5A6FE"},
        {"serial", "FEDD02000A 01FE01020305AFF5A6FE"},
        {"crc byte order", "FEDD02000A 01FE01020304FEA6F5AF"},
        {"crc", "FEDD02000A 01FE01020304AFF5A6FF"},
        // Correct record but a personality the switch does not know.
        {"selector", "FEDD02000A 02FD01020304DFC0F2CF"},
        // A fake-card setting that does not exist, correctly checksummed.
        {"fake selector", "FEDD02010A 01FE01020304AFF5A6FE"},
    };
    for (auto& c : cases) {
        Reader r;
        EXPECT_EQ(send(r, c.apdu), "6A80") << c.what;
        EXPECT_FALSE(r.pendingPersonality()) << c.what;
        EXPECT_EQ(r.config().fakeCard, 0) << c.what;
    }
}

TEST(Reader, SerialTakesPartInTheRecordCheck)
{
    ReaderConfig cfg;
    const uint8_t sn[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    std::copy(sn, sn + 4, cfg.serial);
    Reader r(cfg);
    uint8_t rec[6] = {1, 0xFE, 0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t c = recordCrc(rec, 6, 0x12345678);
    std::vector<uint8_t> apdu = {0xFE, 0xDD, 0x02, 0x00, 0x0A, 1, 0xFE, 0xDE, 0xAD, 0xBE, 0xEF};
    for (int i = 0; i < 4; ++i)
        apdu.push_back(static_cast<uint8_t>(c >> (8 * i)));
    EXPECT_EQ(str(r.process(apdu)), "9000");
    EXPECT_EQ(send(r, "FE DD 02 00 0A 01 FE 01 02 03 04 AF F5 A6 FE"), "6A80");
}

TEST(Reader, RebootRestartsInThePendingPersonality)
{
    Reader r; // CDC by default
    std::vector<Personality> reboots;
    r.onReboot([&](Personality p) { reboots.push_back(p); });

    EXPECT_EQ(send(r, "FFFEFC0000"), "9000"); // nothing pending: same personality
    EXPECT_EQ(send(r, "FE DD 02 00 0A 03 FC 01 02 03 04 07 01 19 69"), "9000");
    EXPECT_EQ(r.config().personality, Personality::CDC); // not before the reboot
    EXPECT_EQ(send(r, "FFFEFC0000"), "9000");
    EXPECT_EQ(r.config().personality, Personality::HID);
    EXPECT_FALSE(r.pendingPersonality());
    EXPECT_EQ(reboots, (std::vector<Personality>{Personality::CDC, Personality::HID}));
}

TEST(Reader, RefusalsMatchPrefixAndRunOut)
{
    Reader r;
    r.refuse(hex("FFCAF0"), 0x6F00, 2);
    r.refuse({}, 0x6982, 1);
    EXPECT_EQ(send(r, "FFCAF00004"), "6F00");
    EXPECT_EQ(send(r, "FFCAE00004"), "6982"); // the catch-all, once
    EXPECT_EQ(send(r, "FFCAE00004"), "000200A69000");
    EXPECT_EQ(send(r, "FFCAF00004"), "6F00");
    EXPECT_EQ(send(r, "FFCAF00004"), "010203049000");
    // A refused reboot neither reboots nor clears the pending switch.
    int reboots = 0;
    r.onReboot([&](Personality) { ++reboots; });
    send(r, "FE DD 02 00 0A 00 FF 01 02 03 04 77 34 4D 58");
    r.refuse(hex("FFFEFC"), 0x6400);
    EXPECT_EQ(send(r, "FFFEFC0000"), "6400");
    EXPECT_EQ(reboots, 0);
    EXPECT_EQ(r.pendingPersonality(), Personality::CCID);
}
