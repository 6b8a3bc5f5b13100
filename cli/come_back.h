// When a switched reader counts as back: an entry of its new personality
// that was not listed when its switch was sent. By its serial number when
// the entry shows one; a keyboard never does, so a new keyboard entry is
// the reader. An entry of a personality that shows serial numbers but has
// none yet (a CCID reader whose card the service has not seen) is taken
// only when no other reader of this run may be the one arriving.
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
    std::set<std::string> textsBefore; // entry texts listed when the switch was sent
    std::set<std::string> keysBefore;  // and their keys
    std::set<std::string> claimed;     // entry keys already credited to other readers of this run
    // Another reader of this run was switched and not seen back: a new
    // entry without a serial number may be that one.
    bool othersPending = false;
};

struct ComeBack {
    int index = -1;       // the entry that shows the reader back; -1 when none does yet
    bool unknown = false; // taken without its serial number
};

ComeBack findComeBack(const std::vector<std::string>& entries, const ComeBackRule& rule);

} // namespace tarvexctl
