// When a switched reader counts as back: listed again in its new
// personality. By its serial number when both sides know it; otherwise (a
// reader in HID personality has none, a CCID reader without a card shows
// none) by an entry of that personality that was not listed when the wait
// began.
#pragma once
#include "core/list_entry.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvexctl {

struct ComeBackRule {
    tarvex::Personality target = tarvex::Personality::Ccid;
    std::optional<std::string> serial;
    std::set<std::string> keysBefore; // entry keys listed when the wait began
};

// The index of the entry that shows the reader back; -1 when none does yet.
int findComeBack(const std::vector<std::string>& entries, const ComeBackRule& rule);

} // namespace tarvexctl
