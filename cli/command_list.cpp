// list and watch: the device list as lines or JSON.
#include "commands.h"
#include "interrupts.h"
#include "json_text.h"
#include "source_report.h"

#include <map>

namespace tarvexctl {

std::vector<ReaderInfo> listedReaders(const tarvex::DeviceList& list)
{
    std::vector<ReaderInfo> readers;
    for (int i = 0; i < list.count(); ++i)
        readers.push_back(readerInfo(list.text(i)));
    return readers;
}

Chosen lookAndChoose(Tool& tool, const Options& options)
{
    if (options.cardWaitMs >= 0)
        tool.ui.cardWaitMs = uint32_t(options.cardWaitMs);
    tool.ui.setStatusPrefix("Looking for readers");
    tool.scans.cycleNow(true);
    tool.ui.setStatusPrefix({});
    tool.console.status({});
    Chosen c;
    c.listed = listedReaders(tool.core.list());
    c.selection = selectReaders(c.listed, options.selector);
    return c;
}

int runList(Tool& tool, const Options& options)
{
    tool.ui.setStatusPrefix("Looking for readers");
    // One cycle finds everything attached: every source is asked directly,
    // not through events.
    tool.scans.cycleNow(true);
    tool.console.status({});
    // The readers that were found, then the sources that could not be
    // looked at: the listing is complete only without the latter. JSON is
    // one document per line, readers and unavailable sources alike.
    for (const ReaderInfo& r : listedReaders(tool.core.list()))
        tool.console.line(options.json ? jsonLine(r) : textLine(r));
    return reportSourceProblems(tool, options) ? kExitUnavailable : kExitOk;
}

int runWatch(Tool& tool, const Options& options, uint64_t cycles)
{
    // Entries by key: a reader that stays keeps its key; its text changes
    // when the scan reads its identity later (a card put on a CCID reader).
    // Printed in list order, removals first.
    std::vector<std::pair<std::string, std::string>> shown;
    auto print = [&](const char* event, const std::string& text) {
        const ReaderInfo r = readerInfo(text);
        tool.console.line(options.json ? jsonLine(r, event, utcTimestamp()) : std::string(event) + "  " + textLine(r));
    };
    tool.scans.setAfterCycle([&] {
        std::vector<std::pair<std::string, std::string>> now;
        std::map<std::string, std::string> byKey;
        const tarvex::DeviceList& list = tool.core.list();
        for (int i = 0; i < list.count(); ++i) {
            now.emplace_back(tarvex::FilterExtra(list.text(i)), list.text(i));
            byKey.emplace(now.back());
        }
        std::map<std::string, std::string> before(shown.begin(), shown.end());
        for (const auto& [key, text] : shown)
            if (!byKey.count(key))
                print("removed", text);
        for (const auto& [key, text] : now) {
            const auto it = before.find(key);
            if (it == before.end())
                print("added", text);
            else if (it->second != text)
                print("changed", text);
        }
        shown = std::move(now);
    });
    tool.ui.setStatusPrefix("Watching for readers");
    const uint64_t start = tool.scans.cycles();
    tool.scans.cycleNow(true);
    // The window's discovery: its tick, and a cycle soon after each burst
    // of device events.
    while ((cycles == 0 || tool.scans.cycles() - start < cycles) && !interruptRequested() && !tool.console.failed())
        tool.scans.idle(ScanDriver::kTickMs, true);
    tool.scans.setAfterCycle({});
    return kExitOk;
}

} // namespace tarvexctl
