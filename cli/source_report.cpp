#include "source_report.h"

#include "commands.h"
#include "json_text.h"
#include "terminal.h"

namespace tarvexctl {

const char* sourceKey(tarvex::Source source)
{
    switch (source) {
    case tarvex::Source::Pcsc:
        return "pcsc";
    case tarvex::Source::Serial:
        return "serial";
    case tarvex::Source::Hid:
        return "hid";
    case tarvex::Source::Drives:
        return "drives";
    }
    return "unknown";
}

const char* sourceLabel(tarvex::Source source)
{
    switch (source) {
    case tarvex::Source::Pcsc:
        return "PC/SC";
    case tarvex::Source::Serial:
        return "serial ports";
    case tarvex::Source::Hid:
        return "HID";
    case tarvex::Source::Drives:
        return "drives";
    }
    return "unknown";
}

std::string textSourceProblem(const tarvex::SourceProblem& problem)
{
    // Paths and port names are the system's bytes.
    return std::string(sourceLabel(problem.source)) + ": " + printable(problem.what);
}

std::string jsonSourceProblem(const tarvex::SourceProblem& problem)
{
    JsonObject j;
    j.add("result", "unavailable")
        .add("source", sourceKey(problem.source))
        .add("reason", systemTextToUtf8(problem.what));
    return j.str();
}

bool reportSourceProblems(Tool& tool, const Options& options)
{
    const std::vector<tarvex::SourceProblem>& problems = tool.core.sourceProblems();
    for (const tarvex::SourceProblem& p : problems) {
        tool.console.message(textSourceProblem(p));
        if (options.json)
            tool.console.line(jsonSourceProblem(p));
    }
    return !problems.empty();
}

} // namespace tarvexctl
