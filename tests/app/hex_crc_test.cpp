#include "modCRC.h"
#include "modUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tarvex {
namespace {

struct HexCase {
    const char* text;
    Bytes bytes;
};

TEST(HexToBytes, ConvertsOrRejectsWholeText)
{
    const HexCase cases[] = {
        {"9000", {0x90, 0x00}},
        {"abc", {0x0A, 0xBC}}, // odd length: leading zero, lower case
        {"ff", {0xFF}},
        {"FF", {0xFF}},
        {"5", {0x05}},
        {"FFCAE00000", {0xFF, 0xCA, 0xE0, 0x00, 0x00}},
        {"", {}},
        {"12G4", {}}, // bad second pair: no partial 0x12
        {"G", {}},    // bad padded first digit
        {"1 ", {}},
        {" 1", {}},
        {"+1", {}},
        {"0x12", {}},
        {"12-4", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HexToBytes(c.text), c.bytes) << '"' << c.text << '"';
}

TEST(HexToBytes, LengthLimitCountsPaddedText)
{
    EXPECT_EQ(HexToBytes(std::string(32766, 'A')).size(), 16383u);
    EXPECT_EQ(HexToBytes(std::string(32765, 'A')).size(), 16383u); // padded to 32766
    EXPECT_TRUE(HexToBytes(std::string(32767, 'A')).empty());      // padded to 32768
    EXPECT_TRUE(HexToBytes(std::string(32768, 'A')).empty());
}

TEST(BytesToHex, TwoUpperCaseDigitsPerByte)
{
    EXPECT_EQ(BytesToHex(Bytes{0x90, 0x00}), "9000");
    EXPECT_EQ(BytesToHex(Bytes{0x0A, 0xBC}), "0ABC");
    EXPECT_EQ(BytesToHex(Bytes{0x05}), "05");
    EXPECT_EQ(BytesToHex(Bytes{}), "");
    EXPECT_EQ(BytesToHex(nullptr, 4), "");
}

TEST(HexRoundTrip, EveryByteValue)
{
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = uint8_t(i);
    const std::string hex = BytesToHex(all);
    ASSERT_EQ(hex.size(), 512u);
    EXPECT_EQ(hex.substr(0, 6), "000102");
    EXPECT_EQ(hex.substr(506), "FDFEFF");
    EXPECT_EQ(HexToBytes(hex), all);
}

uint32_t crcOf(const char* text, uint32_t start)
{
    uint32_t v = start;
    CRC32(reinterpret_cast<const uint8_t*>(text), int32_t(std::strlen(text)), v);
    return v;
}

// Single bytes from 0 expose table entries: v = T[b].
uint32_t tableEntry(uint8_t i)
{
    uint32_t v = 0;
    return CRC32(&i, 1, v);
}

TEST(CRC32, TableEntries)
{
    const std::pair<uint8_t, uint32_t> cases[] = {
        {0, 0x00000000},
        {1, 0x690CE1EE},
        {2, 0x34867277},
        {3, 0x5D8A9399},
        {4, 0x9823B2E0},
        {5, 0xF12F530E},
        {6, 0xACA5C097},
        {7, 0xC5A92179},
        {128, 0x04C19DB7},
        {255, 0xB1F7BFB4},
    };
    for (auto [i, t] : cases)
        EXPECT_EQ(tableEntry(i), t) << int(i);
}

TEST(CRC32, KnownVectors)
{
    EXPECT_EQ(crcOf("abc", 0x12345678), 0xEA312A27u);
    EXPECT_EQ(crcOf("abc", 0), 0xC7E3FC7Eu);
    EXPECT_EQ(crcOf("a", 0x12345678), 0x0307FB70u);
}

TEST(CRC32, StoresAndReturnsSameValue)
{
    uint32_t v = 0x12345678;
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(CRC32(abc, 3, v), 0xEA312A27u);
    EXPECT_EQ(v, 0xEA312A27u);
}

TEST(CRC32, EmptyOrInvalidInputLeavesValueUnchanged)
{
    const uint8_t b = 0x61;
    for (int32_t len : {0, -1, INT32_MIN}) {
        uint32_t v = 0xDEADBEEF;
        EXPECT_EQ(CRC32(&b, len, v), 0xDEADBEEFu);
        EXPECT_EQ(v, 0xDEADBEEFu);
    }
    uint32_t v = 0x12345678;
    EXPECT_EQ(CRC32(nullptr, 5, v), 0x12345678u);
}

TEST(CRC32, SplitCallsEqualOneCall)
{
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + 3);
    uint32_t whole = 0x12345678;
    CRC32(data.data(), int32_t(data.size()), whole);
    for (int32_t cut : {0, 1, 10, 150, 299, 300}) {
        uint32_t v = 0x12345678;
        CRC32(data.data(), cut, v);
        CRC32(data.data() + cut, int32_t(data.size()) - cut, v);
        EXPECT_EQ(v, whole) << cut;
    }
}

} // namespace
} // namespace tarvex
