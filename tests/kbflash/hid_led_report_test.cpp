// The LED output report found in report descriptors: the bytes kbflash
// writes to a raw HID node must be those the kernel's keyboard driver would
// send for the same LED states.
#include "hid_led_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kbflash {
namespace {

std::vector<uint8_t> bytes(const std::string& hex)
{
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return b;
}

// The standard boot keyboard report descriptor: no report IDs,
// one output byte, Num Lock bit 0, Caps Lock bit 1, Scroll Lock bit 2.
const std::string kBoot = "05010906a101050719e029e71500250175019508810295017508810195057501050819012905"
                          "910295017503910195067508150025650507190029658100c0";

struct Case {
    const char* name;
    std::string descriptor;
    bool found;
    uint8_t reportId;
    // The reports for: all off; Caps only; Num only; Scroll only; all on.
    std::vector<std::vector<uint8_t>> reports;
};

TEST(HidLedReport, LayoutsAndReports)
{
    const Case cases[] = {
        {"boot keyboard", kBoot, true, 0, {{0, 0x00}, {0, 0x02}, {0, 0x01}, {0, 0x04}, {0, 0x07}}},
        // A composite device: a mouse as report 1 (no outputs), the keyboard
        // as report 2 with its LEDs behind a vendor output byte, the LEDs
        // listed one by one (Scroll, Caps, Num) rather than as a range.
        {"report IDs, listed usages",
            "05010902a1018501050919012903150025017501950381029505810105010930093115812507750895028106c0"
            "05010906a101850205071500250175089501810206"
            "00ff0901750895019102" // vendor output byte first
            "0508090309020901750195039102950575019101c0",
            true, 2, {{2, 0, 0}, {2, 0, 0x02}, {2, 0, 0x04}, {2, 0, 0x01}, {2, 0, 0x07}}},
        // Push and pop around the LEDs: the report size after the pop is the
        // one from before the push.
        {"push and pop", "05010906a10175089501a4050875011901290395039102b49101c0", true, 0,
            {{0, 0, 0}, {0, 0x02, 0}, {0, 0x01, 0}, {0, 0x04, 0}, {0, 0x07, 0}}},
        {"no LEDs (a vendor interface)", "0600ff0901a10115002600ff750895080920810209219102c0", false, 0, {}},
        {"an input-only LED page is no output", "05010906a1010508190129037501950381 02c0", false, 0, {}},
        {"truncated item", "05010906a1010508190129037501950391", false, 0, {}},
        {"pop without push", "b4", false, 0, {}},
        {"report ID 0 is not a report ID", "850005081902750195019102", false, 0, {}},
        {"empty", "", false, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string hex;
        for (char ch : c.descriptor)
            if (ch != ' ')
                hex += ch;
        const std::vector<uint8_t> d = bytes(hex);
        const auto layout = findLedReport(d.data(), d.size());
        ASSERT_EQ(layout.has_value(), c.found);
        if (!layout)
            continue;
        EXPECT_EQ(layout->reportId, c.reportId);
        ASSERT_EQ(c.reports.size(), 5u);
        EXPECT_EQ(layout->report(false, false, false), c.reports[0]);
        EXPECT_EQ(layout->report(true, false, false), c.reports[1]);
        EXPECT_EQ(layout->report(false, true, false), c.reports[2]);
        EXPECT_EQ(layout->report(false, false, true), c.reports[3]);
        EXPECT_EQ(layout->report(true, true, true), c.reports[4]);
    }
}

// Whatever the bytes, the parser ends: every prefix and every one-byte
// corruption of a real descriptor is read without a crash.
TEST(HidLedReport, BadDescriptorsEndCleanly)
{
    const std::vector<uint8_t> d = bytes(kBoot);
    for (size_t n = 0; n <= d.size(); ++n)
        (void)findLedReport(d.data(), n);
    for (size_t i = 0; i < d.size(); ++i)
        for (int v : {0x00, 0x27, 0x97, 0xFE, 0xFF}) {
            std::vector<uint8_t> bad = d;
            bad[i] = uint8_t(v);
            (void)findLedReport(bad.data(), bad.size());
        }
    EXPECT_FALSE(findLedReport(nullptr, 10));
}

} // namespace
} // namespace kbflash
