// switch: the window's mode switch for each chosen reader, then the wait
// until the reader is listed again in its new personality.
#include "come_back.h"
#include "commands.h"
#include "json_text.h"
#include "selection.h"
#include "source_report.h"
#include "terminal.h"

#include <cstdio>

namespace tarvexctl {

namespace {

using tarvex::DeviceList;
using tarvex::elapsedMs;

// While the reader comes back, a cycle every tenth of a second: the device
// events start one at once where the system sends them, but a PC/SC reader
// is often listed before its card is seen, and a port named through
// ZN480_DEV_DIR sends no events at all. A cycle over a few readers takes a
// few milliseconds (bench_cli), so the wait ends within a tenth of a second
// of the reader's return instead of at the window's 2000 ms tick.
constexpr uint32_t kComeBackPollMs = 100;
// How long a reader chosen at the start may be missing from the list when
// its turn comes (a service restarting, a port re-enumerating).
constexpr uint32_t kRelocateMs = 5000;
// A PC/SC reader is often listed a moment before its card is seen, and so
// before the scan can read whose it is: an entry of unknown identity is
// given this long to show the serial number before it is taken as the
// reader (it may never show one: a reader with no card and no fake card).
constexpr uint32_t kIdentityGraceMs = 2000;

struct Outcome {
    enum Result { Ok, Failed, Skipped } result = Failed;
    ReaderInfo before;
    std::optional<ReaderInfo> after;
    std::string detail;
    double seconds = 0;
};

// What the workflow did to the list: which entry it worked on (the one it
// selected, with any identity it read while opening), and whether it took
// that entry away itself, which it does once the reader is open.
class WorkflowWatch {
public:
    WorkflowWatch(tarvex::ReaderCore& core) : core_(core)
    {
        DeviceList& list = core_.list();
        for (int i = 0; i < list.count(); ++i)
            mirror_.push_back(list.text(i));
        list.setObserver([this](DeviceList::Change change, int index) { onChange(change, index); });
    }
    ~WorkflowWatch() { core_.list().setObserver({}); }
    const std::string& working() const { return working_; }
    bool openedReader() const { return opened_; }

private:
    void onChange(DeviceList::Change change, int index)
    {
        const DeviceList& list = core_.list();
        switch (change) {
        case DeviceList::Change::Inserted:
            mirror_.insert(mirror_.begin() + index, list.text(index));
            break;
        case DeviceList::Change::TextChanged:
            if (size_t(index) < mirror_.size())
                mirror_[size_t(index)] = list.text(index);
            if (index == list.selected())
                working_ = list.text(index);
            break;
        case DeviceList::Change::Removed:
            if (size_t(index) < mirror_.size()) {
                // The scan prunes inside its cycles; a workflow removes its
                // own reader's entry outside them.
                if (!core_.scanRunning() && mirror_[size_t(index)] == working_)
                    opened_ = true;
                mirror_.erase(mirror_.begin() + index);
            }
            break;
        case DeviceList::Change::SelectionChanged:
            if (index >= 0)
                working_ = list.text(index);
            break;
        }
    }

    tarvex::ReaderCore& core_;
    std::vector<std::string> mirror_;
    std::string working_;
    bool opened_ = false;
};

// The entry of `reader` in the list now: same key, and the same serial
// number when both know one. -1 when it is not listed.
int locate(const DeviceList& list, const ReaderInfo& reader)
{
    const std::string key = tarvex::FilterExtra(reader.entry);
    for (int i = 0; i < list.count(); ++i) {
        const ReaderInfo now = readerInfo(list.text(i));
        if (tarvex::FilterExtra(now.entry) != key)
            continue;
        if (reader.serial && now.serial && *reader.serial != *now.serial)
            continue;
        return i;
    }
    return -1;
}

bool runWorkflow(tarvex::ReaderCore& core, Personality target)
{
    switch (target) {
    case Personality::Ccid:
        return core.switchToCcid();
    case Personality::Cdc:
        return core.switchToCdc();
    case Personality::Hid:
        return core.switchToHid();
    case Personality::Msd:
        break;
    }
    return false;
}

std::string seconds(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

std::string arrow(const Outcome& o, Personality target)
{
    return std::string(personalityName(o.before.personality)) + "->" + personalityName(target);
}

void report(Tool& tool, const Options& options, const Outcome& o)
{
    const ReaderInfo& where = o.after ? *o.after : o.before;
    const char* result = o.result == Outcome::Ok ? "ok" : o.result == Outcome::Skipped ? "skipped" : "failed";
    if (options.json) {
        JsonObject j;
        j.add("result", result)
            .add("serial", where.serial ? where.serial : o.before.serial)
            .add("from", personalityName(o.before.personality))
            .add("to", personalityName(options.target))
            .add("address", where.address ? std::optional<std::string>(systemTextToUtf8(*where.address)) : std::nullopt)
            .add("entry", systemTextToUtf8(where.entry))
            .add("message", o.detail.empty() ? std::nullopt : std::optional<std::string>(o.detail))
            .add("seconds", o.seconds, 1);
        tool.console.line(j.str());
        return;
    }
    const std::optional<std::string>& serial = where.serial ? where.serial : o.before.serial;
    std::string text = std::string(result) + " " + (serial ? printable(*serial) : "-") + " " + arrow(o, options.target)
        + " " + (where.address ? printable(*where.address) : "-");
    if (!o.detail.empty())
        text += ": " + o.detail;
    if (o.result == Outcome::Ok)
        text += " (" + seconds(o.seconds) + ")";
    tool.console.line(text);
}

Outcome switchOne(Tool& tool, const Options& options, const ReaderInfo& chosen, const std::string& label)
{
    Outcome o;
    o.before = chosen;
    tarvex::ReaderCore& core = tool.core;
    const uint32_t start = tool.clock.tickMs();
    auto finish = [&](Outcome::Result r, std::string detail) {
        o.result = r;
        o.detail = std::move(detail);
        o.seconds = elapsedMs(start, tool.clock.tickMs()) / 1000.0;
        return o;
    };

    // Earlier readers' switches ran scan cycles: the entry may have moved,
    // or be away for a moment.
    int index = locate(core.list(), chosen);
    if (index < 0) {
        tool.ui.setStatusPrefix(label + ": looking for the reader");
        tool.scans.waitUntil([&] { return (index = locate(core.list(), chosen)) >= 0; }, kRelocateMs, kComeBackPollMs);
        tool.ui.setStatusPrefix({});
    }
    if (index < 0)
        return finish(Outcome::Failed, "no longer listed");
    o.before = readerInfo(core.list().text(index));

    if (!offersTarget(o.before.personality, options.target)) {
        if (o.before.personality == options.target)
            return finish(
                Outcome::Skipped, std::string("already in ") + personalityName(options.target) + " personality");
        return finish(Outcome::Failed, targetRefusal(o.before, options.target));
    }

    bool accepted = false;
    std::string working;
    bool opened = false;
    {
        WorkflowWatch watch(core);
        tool.ui.beginWorkflow(label);
        core.list().select(index);
        accepted = runWorkflow(core, options.target);
        working = watch.working();
        opened = watch.openedReader();
    }
    const std::string failure = tool.ui.failure();
    const bool confirmed = tool.ui.succeeded();
    tool.ui.endWorkflow();
    if (!accepted || !confirmed) {
        if (!failure.empty())
            return finish(Outcome::Failed, failure);
        if (opened)
            return finish(Outcome::Failed, "the reader did not accept the switch");
        if (o.before.personality == Personality::Msd)
            return finish(Outcome::Failed, "the drive entry has no command channel to the reader");
        return finish(Outcome::Failed, "the reader could not be opened");
    }
    // The entry the workflow worked on knows the serial number best: after
    // a HID reset it is the reader's entry in its intermediate personality.
    const ReaderInfo workedOn = readerInfo(working.empty() ? o.before.entry : working);
    if (!o.before.serial)
        o.before.serial = workedOn.serial;

    if (!options.wait)
        return finish(Outcome::Ok, "switch accepted, not waited for");

    ComeBackRule rule;
    rule.target = options.target;
    rule.serial = workedOn.serial;
    const DeviceList& list = core.list();
    for (int i = 0; i < list.count(); ++i)
        rule.keysBefore.insert(tarvex::FilterExtra(list.text(i)));
    std::vector<std::string> entries;
    int back = -1;
    std::optional<std::string> unknownBack; // an entry that may be the reader
    uint32_t unknownSince = 0;
    const std::string waitLabel = label + ": waiting for the reader as " + personalityName(options.target);
    bool cameBack = tool.scans.waitUntil(
        [&] {
            entries.clear();
            for (int i = 0; i < list.count(); ++i)
                entries.push_back(list.text(i));
            back = findComeBack(entries, rule);
            if (back < 0)
                return false;
            // A keyboard never shows a serial number: nothing to wait for.
            if (!rule.serial || options.target == Personality::Hid
                || !tarvex::ListEntry::parse(entries[size_t(back)]).serial().empty())
                return true;
            const uint32_t now = tool.clock.tickMs();
            if (!unknownBack || *unknownBack != entries[size_t(back)]) {
                unknownBack = entries[size_t(back)];
                unknownSince = now;
            }
            return elapsedMs(unknownSince, now) >= kIdentityGraceMs;
        },
        options.timeoutMs, kComeBackPollMs,
        [&](uint32_t elapsed) {
            tool.ui.setStatusPrefix(waitLabel);
            tool.console.status(waitLabel + ", " + std::to_string(elapsed / 1000) + " s of "
                + std::to_string(options.timeoutMs / 1000) + " s");
        });
    tool.ui.setStatusPrefix({});
    tool.console.status({});
    if (!cameBack && unknownBack && back >= 0) {
        // The time ran out during the grace: it is back, unread.
        cameBack = true;
    }
    if (!cameBack)
        return finish(Outcome::Failed,
            std::string("not listed again as ") + personalityName(options.target) + " within "
                + std::to_string(options.timeoutMs / 1000) + " s");
    o.after = readerInfo(entries[size_t(back)]);
    return finish(Outcome::Ok, {});
}

} // namespace

int runSwitch(Tool& tool, const Options& options)
{
    tool.ui.hidChoice = options.hidFormat;
    tool.ui.fakeCard = options.fakeCard;
    if (options.cardWaitMs >= 0)
        tool.ui.cardWaitMs = uint32_t(options.cardWaitMs);
    tool.ui.setStatusPrefix("Looking for readers");
    tool.scans.cycleNow(true);
    tool.ui.setStatusPrefix({});
    tool.console.status({});

    const std::vector<ReaderInfo> listed = listedReaders(tool.core.list());
    const Selection chosen = selectReaders(listed, options.selector);
    // Nothing found where a source could not be looked at is no refusal:
    // the reader may well be attached there.
    if (chosen.nothingFound && reportSourceProblems(tool, options))
        return kExitUnavailable;
    if (!chosen.refusal.empty()) {
        tool.console.message(chosen.refusal);
        return kExitRefused;
    }
    // A reader named on the command line must offer the target; of all
    // readers, those that do not are reported one by one.
    if (options.selector.kind != Selector::All) {
        const std::string refusal = targetRefusal(listed[chosen.readers.front()], options.target);
        if (!refusal.empty()) {
            tool.console.message(refusal);
            return kExitRefused;
        }
    }

    bool allOk = true;
    const size_t n = chosen.readers.size();
    for (size_t k = 0; k < n; ++k) {
        const ReaderInfo& r = listed[chosen.readers[k]];
        std::string label
            = readerName(r) + " " + personalityName(r.personality) + "->" + personalityName(options.target);
        if (n > 1)
            label = "[" + std::to_string(k + 1) + "/" + std::to_string(n) + "] " + label;
        const Outcome o = switchOne(tool, options, r, label);
        report(tool, options, o);
        allOk = allOk && o.result != Outcome::Failed;
    }
    return allOk ? kExitOk : kExitFailed;
}

} // namespace tarvexctl
