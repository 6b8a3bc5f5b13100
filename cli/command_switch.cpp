// switch: the window's mode switch for each chosen reader, then the wait
// until the reader is listed again in its new personality.
#include "come_back.h"
#include "interrupts.h"
#include "commands.h"
#include "json_text.h"
#include "selection.h"
#include "source_report.h"
#include "terminal.h"

#include <cstdio>
#include <set>

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

// What became of one chosen reader. Plan* are what --dry-run reports.
struct Outcome {
    enum Result { Ok, Unchanged, Failed, NotBack, Refused, Unsupported, PlanSwitch } result = Failed;
    ReaderInfo before;
    std::optional<ReaderInfo> after;
    std::string detail;
    double seconds = 0;
};

const char* resultWord(Outcome::Result r)
{
    switch (r) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Unchanged:
        return "unchanged";
    case Outcome::Failed:
    case Outcome::NotBack:
        return "failed";
    case Outcome::Refused:
        return "refused";
    case Outcome::Unsupported:
        return "unsupported";
    case Outcome::PlanSwitch:
        return "switch";
    }
    return "failed";
}

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
    const char* result = resultWord(o.result);
    const std::optional<std::string>& serial = where.serial ? where.serial : o.before.serial;
    if (options.json) {
        JsonObject j;
        j.add("result", result)
            .add("serial", serial)
            .add("from", personalityName(o.before.personality))
            .add("to", personalityName(options.target))
            .add("address", where.address ? std::optional<std::string>(systemTextToUtf8(*where.address)) : std::nullopt)
            .add("entry", systemTextToUtf8(where.entry))
            .add("message", o.detail.empty() ? std::nullopt : std::optional<std::string>(o.detail))
            .add("seconds", o.seconds, 1)
            // What configuration management reports as a change: the reader
            // took a new personality (not a dry run, not one left as it was).
            .add("changed", o.result == Outcome::Ok);
        tool.console.line(j.str());
        return;
    }
    std::string text = std::string(result) + " " + (serial ? printable(*serial) : "-") + " " + arrow(o, options.target)
        + " " + (where.address ? printable(*where.address) : "-");
    if (!o.detail.empty())
        text += ": " + o.detail;
    if (o.result == Outcome::Ok)
        text += " (" + seconds(o.seconds) + ")";
    tool.console.line(text);
}

// A refusal of the whole command line's selection: the reason on standard
// error and, with --json, as the run's one document on standard output.
int refuse(Tool& tool, const Options& options, const std::string& reason)
{
    tool.console.message(reason);
    if (options.json)
        tool.console.line(JsonObject().add("result", "refused").add("reason", reason).str());
    return kExitRefused;
}

// The window's own words for a HID reader beside others.
const char* const kOnlyHid = "Due to how HID devices are handled it is required to remove the other ZN480 present "
                             "and try again. Only the HID device must be present in the list.";

// What would be done to `reader` among `listedCount` listed readers; the
// workflow decides the rest once it runs.
Outcome plan(const Options& options, const ReaderInfo& reader, size_t listedCount)
{
    Outcome o;
    o.before = reader;
    const Personality target = options.target;
    if (reader.personality == target) {
        o.result = Outcome::Unchanged;
        o.detail = std::string("already in ") + personalityName(target) + " personality";
        // Neither setting can be read back in the personality it belongs
        // to: say so rather than claim it.
        if (options.fakeCardGiven || options.hidFormatGiven)
            o.detail += std::string(", its ") + (options.fakeCardGiven ? "fake-card setting" : "HID format")
                + " left as it is";
        return o;
    }
    if (reader.personality == Personality::Msd) {
        o.result = options.selector.kind == Selector::All ? Outcome::Unsupported : Outcome::Refused;
        o.detail = "a reader in MSD personality has no command channel: it cannot be switched from here";
        return o;
    }
    if (!offersTarget(reader.personality, target)) {
        o.result = Outcome::Refused;
        o.detail = targetRefusal(reader, target);
        return o;
    }
    if (reader.personality == Personality::Hid && listedCount > 1) {
        o.result = Outcome::Refused;
        o.detail = kOnlyHid;
        return o;
    }
    o.result = Outcome::PlanSwitch;
    return o;
}

struct RunState {
    std::set<std::string> claimed; // entry keys of readers seen back in this run
    bool pending = false;          // a reader was switched and not seen back
};

Outcome switchOne(Tool& tool, const Options& options, const ReaderInfo& chosen, const std::string& label, RunState& run)
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

    // Earlier readers' switches changed the list, and the scan may not have
    // caught up with the last of it: its turn starts from a fresh look.
    tool.scans.cycleNow(true);
    int index = locate(core.list(), chosen);
    if (index < 0) {
        tool.ui.setStatusPrefix(label + ": looking for the reader");
        tool.scans.waitUntil([&] { return (index = locate(core.list(), chosen)) >= 0; }, kRelocateMs, kComeBackPollMs);
        tool.ui.setStatusPrefix({});
    }
    if (index < 0)
        return finish(Outcome::Failed, "no longer listed");
    o.before = readerInfo(core.list().text(index));
    const Outcome planned = plan(options, o.before, size_t(core.list().count()));
    if (planned.result != Outcome::PlanSwitch)
        return finish(planned.result, planned.detail);

    ComeBackRule rule;
    rule.target = options.target;
    rule.claimed = run.claimed;
    rule.othersPending = run.pending;
    for (int i = 0; i < core.list().count(); ++i) {
        rule.textsBefore.insert(core.list().text(i));
        rule.keysBefore.insert(tarvex::FilterExtra(core.list().text(i)));
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
        // A reader that was opened may have taken part of the change: it
        // may come back on its own, so it counts as one on the way.
        if (opened)
            run.pending = true;
        if (!failure.empty())
            return finish(Outcome::Failed, failure);
        if (opened)
            return finish(Outcome::Failed, "the reader did not accept the switch");
        return finish(Outcome::Failed, "the reader could not be opened");
    }
    // The entry the workflow worked on knows the serial number best: after
    // a HID reset it is the reader's entry in its intermediate personality.
    const ReaderInfo workedOn = readerInfo(working.empty() ? o.before.entry : working);
    if (!o.before.serial)
        o.before.serial = workedOn.serial;
    rule.serial = workedOn.serial;

    if (!options.wait) {
        run.pending = true;
        return finish(Outcome::Ok, "switch accepted, not waited for");
    }

    const DeviceList& list = core.list();
    std::vector<std::string> entries;
    ComeBack back;
    std::optional<std::string> unknownBack; // an entry that may be the reader
    uint32_t unknownSince = 0;
    const std::string waitLabel = label + ": waiting for the reader as " + personalityName(options.target);
    bool cameBack = tool.scans.waitUntil(
        [&] {
            entries.clear();
            for (int i = 0; i < list.count(); ++i)
                entries.push_back(list.text(i));
            back = findComeBack(entries, rule);
            if (back.index < 0)
                return false;
            // An entry that will not show the serial number is given a
            // moment to do so before it is taken as the reader.
            if (!back.unknown || !rule.serial)
                return true;
            const uint32_t now = tool.clock.tickMs();
            if (!unknownBack || *unknownBack != entries[size_t(back.index)]) {
                unknownBack = entries[size_t(back.index)];
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
    if (!cameBack && unknownBack && back.index >= 0) {
        // The time ran out during the grace: it is back, unread.
        cameBack = true;
    }
    if (!cameBack && interruptRequested()) {
        run.pending = true;
        return finish(Outcome::Ok, "switch accepted, interrupted before the reader was listed again");
    }
    if (!cameBack) {
        run.pending = true;
        return finish(Outcome::NotBack,
            std::string("not listed again as ") + personalityName(options.target) + " within "
                + std::to_string(options.timeoutMs / 1000) + " s");
    }
    o.after = readerInfo(entries[size_t(back.index)]);
    run.claimed.insert(tarvex::FilterExtra(o.after->entry));
    return finish(Outcome::Ok, {});
}

// The run's exit status from its readers' results: the worst one wins.
int exitStatus(const std::vector<Outcome::Result>& results)
{
    int status = kExitOk;
    int rank = 0;
    for (const Outcome::Result r : results) {
        int s = kExitOk, k = 0;
        switch (r) {
        case Outcome::Failed:
            s = kExitFailed, k = 3;
            break;
        case Outcome::NotBack:
            s = kExitNotBack, k = 2;
            break;
        case Outcome::Refused:
            s = kExitRefused, k = 1;
            break;
        default:
            break;
        }
        if (k > rank)
            status = s, rank = k;
    }
    return status;
}

} // namespace

int runSwitch(Tool& tool, const Options& options)
{
    tool.ui.hidChoice = options.hidFormat;
    tool.ui.fakeCard = options.fakeCard;
    const Chosen look = lookAndChoose(tool, options);
    const std::vector<ReaderInfo>& listed = look.listed;
    const Selection& chosen = look.selection;
    // Nothing found where a source could not be looked at is no refusal:
    // the reader may well be attached there.
    if (chosen.nothingFound && reportSourceProblems(tool, options))
        return kExitUnavailable;
    if (!chosen.refusal.empty())
        return refuse(tool, options, chosen.refusal);
    // A reader named on the command line that cannot go there is a refusal
    // of the command line; of all readers, each is reported on its line.
    if (options.selector.kind != Selector::All) {
        const Outcome o = plan(options, listed[chosen.readers.front()], listed.size());
        if (o.result == Outcome::Refused)
            return refuse(tool, options, o.detail);
    }

    std::vector<Outcome::Result> results;
    RunState run;
    const size_t n = chosen.readers.size();
    for (size_t k = 0; k < n; ++k) {
        // Stopping is safe between readers only.
        if (interruptRequested() || tool.console.failed())
            break;
        const ReaderInfo& r = listed[chosen.readers[k]];
        Outcome o = plan(options, r, listed.size());
        if (o.result == Outcome::PlanSwitch && !options.dryRun) {
            std::string label
                = readerName(r) + " " + personalityName(r.personality) + "->" + personalityName(options.target);
            if (n > 1)
                label = "[" + std::to_string(k + 1) + "/" + std::to_string(n) + "] " + label;
            o = switchOne(tool, options, r, label, run);
        }
        report(tool, options, o);
        results.push_back(o.result);
    }
    return exitStatus(results);
}

} // namespace tarvexctl
