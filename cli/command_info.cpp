// wait and info: one reader, found as switch finds it; and -v's trace of
// every exchange with a reader.
#include "commands.h"
#include "interrupts.h"
#include "json_text.h"
#include "selection.h"
#include "source_report.h"
#include "terminal.h"

#include "modUtil.h"

#include <cstdio>

namespace tarvexctl {

namespace {

// The wait's tick, as the come-back wait after a switch has it.
constexpr uint32_t kWaitPollMs = 100;

std::string describe(const Selector& selector)
{
    return selector.kind == Selector::Serial ? "serial number " + printable(selector.value)
                                             : "address \"" + printable(selector.value) + "\"";
}

int fail(Tool& tool, const Options& options, const char* result, int status, const std::string& reason)
{
    tool.console.message(reason);
    if (options.json)
        tool.console.line(JsonObject().add("result", result).add("reason", reason).str());
    return status;
}

} // namespace

void traceExchanges(Tool& tool)
{
    // The scan's identity reads and probes, and the workflows' commands:
    // what a support request needs to see. Reply data stays out (a serial
    // number is the reader's; anything else could be a card's).
    Console& console = tool.console;
    const auto trace = [&console](const tarvex::ExchangeTrace& t) {
        char status[32] = "no reply";
        if (t.status)
            std::snprintf(status, sizeof status, "%04X, %zu bytes", unsigned(*t.status), t.replyBytes);
        console.message(printable(t.where) + " > " + tarvex::BytesToHex(t.command) + " < " + status + " ("
            + std::to_string(t.ms) + " ms)");
    };
    tool.core.session().setTrace(trace);
    tool.core.scanSession().setTrace(trace);
}

int runWait(Tool& tool, const Options& options)
{
    std::optional<ReaderInfo> found;
    std::string ambiguous;
    const std::string what = "the reader with " + describe(options.selector)
        + (options.personalityGiven ? std::string(" in ") + personalityName(options.personality) + " personality"
                                    : std::string());
    tool.ui.setStatusPrefix("Waiting for " + what);
    const bool listed = tool.scans.waitUntil(
        [&] {
            const std::vector<ReaderInfo> readers = listedReaders(tool.core.list());
            std::vector<size_t> hits;
            for (size_t i : matchingReaders(readers, options.selector))
                if (!options.personalityGiven || readers[i].personality == options.personality)
                    hits.push_back(i);
            if (hits.size() > 1) {
                ambiguous = std::to_string(hits.size()) + " readers answer to " + describe(options.selector);
                return true;
            }
            if (hits.size() == 1)
                found = readers[hits.front()];
            return found.has_value();
        },
        options.timeoutMs, kWaitPollMs,
        [&](uint32_t elapsed) {
            tool.console.status("Waiting for " + what + ", " + std::to_string(elapsed / 1000) + " s of "
                + std::to_string(options.timeoutMs / 1000) + " s");
        });
    tool.ui.setStatusPrefix({});
    tool.console.status({});
    if (!ambiguous.empty())
        return fail(tool, options, "refused", kExitRefused, ambiguous + ": choose one with --serial or --address");
    if (!listed || !found) {
        if (interruptRequested())
            return kExitInterrupted;
        // Where a source could not be looked at, the reader may be there.
        if (reportSourceProblems(tool, options))
            return kExitUnavailable;
        return fail(tool, options, "timeout", kExitNotBack,
            what + " was not listed within " + std::to_string(options.timeoutMs / 1000) + " s");
    }
    tool.console.line(options.json ? jsonLine(*found) : textLine(*found));
    return kExitOk;
}

int runInfo(Tool& tool, const Options& options)
{
    const Chosen chosen = lookAndChoose(tool, options);
    if (chosen.selection.nothingFound && reportSourceProblems(tool, options))
        return kExitUnavailable;
    if (!chosen.selection.refusal.empty())
        return fail(tool, options, "refused", kExitRefused, chosen.selection.refusal);
    const ReaderInfo reader = chosen.listed[chosen.selection.readers.front()];

    // Only a reader with a command channel can be asked its HID format.
    std::optional<tarvex::HidModeChoice> format;
    std::string why;
    if (reader.personality == Personality::Ccid || reader.personality == Personality::Cdc) {
        tool.ui.beginWorkflow(readerName(reader) + ": reading the HID format");
        const int index = tool.core.list().CheckList(tarvex::FilterExtra(reader.entry));
        if (index >= 0) {
            tool.core.list().select(index);
            format = tool.core.readHidFormat();
        }
        why = tool.ui.failure();
        tool.ui.endWorkflow();
        if (!format && why.empty())
            why = "the reader did not give its HID format";
    }

    if (options.json) {
        JsonObject j;
        j.add("personality", personalityName(reader.personality))
            .add("address",
                reader.address ? std::optional<std::string>(systemTextToUtf8(*reader.address)) : std::nullopt)
            .add("serial", reader.serial)
            .add("firmware", reader.firmware)
            .add("hid_format", format ? std::optional<std::string>(hidFormatName(*format)) : std::nullopt)
            .add("entry", systemTextToUtf8(reader.entry))
            .add("message", why.empty() ? std::nullopt : std::optional<std::string>(why));
        tool.console.line(j.str());
    } else {
        const auto value = [](const std::optional<std::string>& v) { return v ? printable(*v) : std::string("-"); };
        tool.console.line(std::string("personality  ") + personalityName(reader.personality));
        tool.console.line("address      " + value(reader.address));
        tool.console.line("serial       " + value(reader.serial));
        tool.console.line("firmware     " + value(reader.firmware));
        tool.console.line("hid-format   " + (format ? hidFormatName(*format) : std::string("-")));
        if (!why.empty())
            tool.console.message(why);
    }
    return why.empty() ? kExitOk : kExitFailed;
}

} // namespace tarvexctl
