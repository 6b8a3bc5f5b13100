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

int findComeBack(const std::vector<std::string>& entries, const ComeBackRule& rule)
{
    // A match by serial number beats a new entry of unknown identity.
    int fresh = -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        const tarvex::ListEntry e = tarvex::ListEntry::parse(entries[i]);
        if (e.personality != rule.target)
            continue;
        const std::string serial = e.serial();
        if (rule.serial && !serial.empty()) {
            if (equalNoCase(serial, *rule.serial))
                return int(i);
            continue; // another reader
        }
        if (fresh < 0 && !rule.keysBefore.count(e.key))
            fresh = int(i);
    }
    return fresh;
}

} // namespace tarvexctl
