#include "selection.h"

#include "core/reader_core.h"
#include "json_text.h"

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

bool matchesAddress(const ReaderInfo& r, const std::string& wanted)
{
    if (r.address) {
        // Port names are case-blind on Windows; reader names are not.
        if (r.personality == Personality::Cdc ? equalNoCase(*r.address, wanted) : *r.address == wanted)
            return true;
    }
    return tarvex::FilterExtra(r.entry) == wanted || r.entry == wanted;
}

std::string describeAll(const std::vector<ReaderInfo>& listed, const std::vector<size_t>& which)
{
    std::string s;
    for (size_t i : which)
        s += "\n  " + textLine(listed[i]);
    return s;
}

std::vector<size_t> every(const std::vector<ReaderInfo>& listed)
{
    std::vector<size_t> all(listed.size());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    return all;
}

} // namespace

bool offersTarget(Personality from, Personality to)
{
    const tarvex::SwitchTargets t = tarvex::targetsFor(from);
    switch (to) {
    case Personality::Ccid:
        return t.ccid;
    case Personality::Cdc:
        return t.cdc;
    case Personality::Hid:
        return t.hid;
    case Personality::Msd:
        return false;
    }
    return false;
}

std::string targetRefusal(const ReaderInfo& reader, Personality target)
{
    if (offersTarget(reader.personality, target))
        return {};
    return "the reader " + readerName(reader) + " is in " + personalityName(reader.personality)
        + " personality, which cannot be switched to " + personalityName(target);
}

std::vector<size_t> matchingReaders(const std::vector<ReaderInfo>& listed, const Selector& selector)
{
    std::vector<size_t> found;
    for (size_t i = 0; i < listed.size(); ++i) {
        const ReaderInfo& r = listed[i];
        if (selector.kind == Selector::Serial        ? r.serial && equalNoCase(*r.serial, selector.value)
                : selector.kind == Selector::Address ? matchesAddress(r, selector.value)
                                                     : true)
            found.push_back(i);
    }
    return found;
}

Selection selectReaders(const std::vector<ReaderInfo>& listed, const Selector& selector)
{
    Selection s;
    const bool anyHid = std::any_of(
        listed.begin(), listed.end(), [](const ReaderInfo& r) { return r.personality == Personality::Hid; });
    switch (selector.kind) {
    case Selector::All:
        s.readers = every(listed);
        s.nothingFound = s.readers.empty();
        if (s.readers.empty())
            s.refusal = "no reader is attached";
        return s;
    case Selector::None:
        if (listed.size() == 1) {
            s.readers = {0};
        } else if (listed.empty()) {
            s.nothingFound = true;
            s.refusal = "no reader is attached";
        } else {
            s.refusal = std::to_string(listed.size())
                + " readers are attached: choose one with --serial or --address, or all with --all"
                + describeAll(listed, every(listed));
        }
        return s;
    case Selector::Serial: {
        const std::vector<size_t> found = matchingReaders(listed, selector);
        if (found.size() == 1) {
            s.readers = found;
        } else if (found.empty()) {
            s.nothingFound = true;
            s.refusal = "no reader with serial number " + printable(selector.value) + " is listed";
            if (anyHid)
                s.refusal += " (a reader in HID personality shows no serial number: choose it with --address)";
        } else {
            s.refusal = std::to_string(found.size()) + " readers have serial number " + printable(selector.value)
                + ": choose one with --address" + describeAll(listed, found);
        }
        return s;
    }
    case Selector::Address: {
        const std::vector<size_t> found = matchingReaders(listed, selector);
        if (found.size() == 1)
            s.readers = found;
        else if (found.empty()) {
            s.nothingFound = true;
            s.refusal = "no reader at address \"" + printable(selector.value) + "\" is listed";
        } else
            s.refusal = std::to_string(found.size()) + " readers answer to \"" + printable(selector.value)
                + "\": choose one with --serial" + describeAll(listed, found);
        return s;
    }
    }
    return s;
}

} // namespace tarvexctl
