#include "hid_led_report.h"

#include <map>

namespace kbflash {
namespace {

constexpr uint32_t kLedPage = 0x08;
// Usages on the LED page.
constexpr uint32_t kNumLock = 0x01, kCapsLock = 0x02, kScrollLock = 0x03;

struct Globals {
    uint32_t usagePage = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint8_t reportId = 0;
};

uint32_t itemValue(const uint8_t* p, unsigned size)
{
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i)
        v |= uint32_t(p[i]) << (8 * i);
    return v;
}

} // namespace

std::vector<uint8_t> LedReportLayout::report(bool caps, bool num, bool scroll) const
{
    std::vector<uint8_t> r(1 + bytes, 0);
    r[0] = reportId;
    const bool on[3] = {caps, num, scroll};
    for (int k = 0; k < 3; ++k)
        if (on[k] && bit[k] >= 0 && unsigned(bit[k]) < 8 * bytes)
            r[1 + bit[k] / 8] |= uint8_t(1u << (bit[k] % 8));
    return r;
}

std::optional<LedReportLayout> findLedReport(const uint8_t* desc, size_t len)
{
    // A descriptor is at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE); more
    // than that is not one.
    if (!desc || len == 0 || len > 4096)
        return std::nullopt;
    Globals g;
    std::vector<Globals> stack;
    std::vector<uint32_t> usages; // local: full usages (page << 16 | id)
    uint32_t usageMin = 0, usageMax = 0;
    bool haveRange = false;
    std::map<uint8_t, uint32_t> outputBits; // report ID -> bits so far
    std::map<uint8_t, LedReportLayout> found;
    auto fullUsage = [&](uint32_t v, unsigned size) { return size == 4 ? v : (g.usagePage << 16) | v; };

    for (size_t i = 0; i < len;) {
        const uint8_t prefix = desc[i];
        if (prefix == 0xFE) { // long item: size byte, tag byte, data
            if (i + 2 >= len)
                return std::nullopt;
            i += 3 + desc[i + 1];
            continue;
        }
        const unsigned size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + size > len)
            return std::nullopt;
        const uint32_t v = itemValue(desc + i + 1, size);
        const unsigned type = (prefix >> 2) & 3, tag = prefix >> 4;
        i += 1 + size;
        if (type == 1) { // global
            switch (tag) {
            case 0x0:
                g.usagePage = v;
                break;
            case 0x7:
                g.reportSize = v;
                break;
            case 0x8:
                if (v == 0 || v > 255)
                    return std::nullopt;
                g.reportId = uint8_t(v);
                break;
            case 0x9:
                g.reportCount = v;
                break;
            case 0xA:
                stack.push_back(g);
                break;
            case 0xB:
                if (stack.empty())
                    return std::nullopt;
                g = stack.back();
                stack.pop_back();
                break;
            default:
                break;
            }
        } else if (type == 2) { // local
            if (tag == 0x0)
                usages.push_back(fullUsage(v, size));
            else if (tag == 0x1)
                usageMin = fullUsage(v, size), haveRange = true;
            else if (tag == 0x2)
                usageMax = fullUsage(v, size), haveRange = true;
        } else if (type == 0) { // main
            if (tag == 0x9) {   // Output
                if (g.reportSize > 32 || g.reportCount > 4096)
                    return std::nullopt;
                uint32_t& offset = outputBits[g.reportId];
                const bool variable = (v & 0x02) != 0, constant = (v & 0x01) != 0;
                if (variable && !constant) {
                    std::vector<uint32_t> list = usages;
                    if (haveRange && usageMax >= usageMin && usageMax - usageMin < 4096)
                        for (uint32_t u = usageMin; u <= usageMax; ++u)
                            list.push_back(u);
                    for (uint32_t n = 0; n < g.reportCount && !list.empty(); ++n) {
                        // The last usage stands for the rest of the fields.
                        const uint32_t u = list[n < list.size() ? n : list.size() - 1];
                        const int bit = int(offset + n * g.reportSize);
                        if (g.reportSize == 1 && (u >> 16) == kLedPage) {
                            LedReportLayout& l = found[g.reportId];
                            l.reportId = g.reportId;
                            const uint32_t id = u & 0xFFFF;
                            if (id == kCapsLock)
                                l.bit[static_cast<int>(Key::Caps)] = bit;
                            else if (id == kNumLock)
                                l.bit[static_cast<int>(Key::Num)] = bit;
                            else if (id == kScrollLock)
                                l.bit[static_cast<int>(Key::Scroll)] = bit;
                        }
                    }
                }
                offset += g.reportSize * g.reportCount;
            }
            usages.clear();
            haveRange = false;
            usageMin = usageMax = 0;
        }
    }
    for (auto& [id, layout] : found) {
        if (layout.bit[static_cast<int>(Key::Caps)] < 0)
            continue;
        layout.bytes = (outputBits[id] + 7) / 8;
        return layout;
    }
    return std::nullopt;
}

} // namespace kbflash
