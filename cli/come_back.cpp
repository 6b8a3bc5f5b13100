#include "come_back.h"

#include <algorithm>
#include <cctype>

namespace tarvexctl {

namespace {
bool equalNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}
} // namespace

ComeBack findComeBack(const std::vector<std::string>& entries, const ComeBackRule& rule)
{
    // A match by serial number beats a new entry of unknown identity.
    ComeBack fresh;
    for (size_t i = 0; i < entries.size(); ++i) {
        const tarvex::ListEntry e = tarvex::ListEntry::parse(entries[i]);
        if (e.personality != rule.target || rule.claimed.count(e.key))
            continue;
        const std::string serial = e.serial();
        if (!serial.empty() && rule.serial) {
            // Its own serial number, on an entry that shows it only since
            // the switch (a PC/SC reader stays listed while its card is
            // away: the text tells, not the key).
            if (equalNoCase(serial, *rule.serial) && !rule.textsBefore.count(entries[i]))
                return {int(i), false};
            continue; // another reader
        }
        if (fresh.index >= 0 || rule.keysBefore.count(e.key))
            continue;
        // A keyboard never shows a serial number; any other entry without
        // one (or a reader whose own was never read) may be another reader
        // of this run.
        if (rule.target == tarvex::Personality::Hid || !rule.othersPending)
            fresh = {int(i), rule.target != tarvex::Personality::Hid};
    }
    return fresh;
}

} // namespace tarvexctl
