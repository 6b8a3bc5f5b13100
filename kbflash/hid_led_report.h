// The keyboard LEDs' output report of a HID device, as its report
// descriptor lays it out: which report carries the Num, Caps and Scroll
// Lock indicators, and at which bits. kbflash writes that report through
// the reader's raw HID node, so the bytes must be the ones the kernel's
// keyboard driver would send for the same LED states.
#pragma once
#include "lock_keys.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace kbflash {

struct LedReportLayout {
    uint8_t reportId = 0;      // 0: the device numbers no reports
    unsigned bytes = 0;        // the report's length without the report ID
    int bit[3] = {-1, -1, -1}; // bit offset of each Key's indicator (-1: none)

    // The report for these LED states, with the report number first as the
    // raw HID node takes it (0 for a device without report IDs).
    std::vector<uint8_t> report(bool caps, bool num, bool scroll) const;
};

// Reads the descriptor's short items (long items are skipped) and returns
// the first output report that has a Caps Lock indicator; nullopt when there
// is none or the descriptor is malformed.
std::optional<LedReportLayout> findLedReport(const uint8_t* desc, size_t len);

} // namespace kbflash
