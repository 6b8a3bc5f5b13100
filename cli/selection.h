// Which listed readers a switch acts on, and whether the target makes sense
// for each. The tool refuses rather than guesses: several readers and no
// choice, a serial number that several readers share, a name nobody has.
#pragma once
#include "options.h"
#include "reader_info.h"

#include <string>
#include <vector>

namespace tarvexctl {

struct Selection {
    std::vector<size_t> readers; // indices into the listed readers, in list order
    std::string refusal;         // why nothing was chosen; empty when chosen
    // No listed reader answers to the selector at all (none attached, or
    // nobody has that serial number or address), as opposed to several.
    bool nothingFound = false;
};

// The readers the serial number or address names (every one for the
// other kinds), in list order.
std::vector<size_t> matchingReaders(const std::vector<ReaderInfo>& listed, const Selector& selector);

Selection selectReaders(const std::vector<ReaderInfo>& listed, const Selector& selector);

// Whether the reader's personality offers the target (the window's buttons).
bool offersTarget(Personality from, Personality to);

// Refusal text for a reader chosen by name whose personality does not offer
// the target; empty when it does.
std::string targetRefusal(const ReaderInfo& reader, Personality target);

} // namespace tarvexctl
