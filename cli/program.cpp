#include "program.h"

#include "commands.h"
#include "interrupts.h"
#include "json_text.h"

#include <algorithm>

namespace tarvexctl {

namespace {

// A mistake on the command line is reported before anything is looked at.
// With --json anywhere on it the caller reads standard output, so the
// error goes there too, as the one document of the run.
int refuseArguments(Console& console, const std::vector<std::string>& args, const std::string& error)
{
    console.message(error);
    if (std::find(args.begin(), args.end(), "--json") != args.end())
        console.line(JsonObject().add("result", "error").add("reason", error).str());
    return kExitUsage;
}

// Results that could not be written are a failure of the run, said where
// it can still be read.
int finishOutput(Console& console, int status)
{
    if (!console.failed())
        return status;
    console.message(console.failure());
    return status == kExitOk ? kExitFailed : status;
}

} // namespace

int runProgram(const std::vector<std::string>& args, Console& console, Environment& env)
{
    const ParseResult parsed = parseArguments(args);
    if (!parsed.error.empty())
        return refuseArguments(console, args, parsed.error);
    const Options& options = parsed.options;
    if (options.command == Command::Help) {
        std::string help = helpText();
        help.pop_back(); // a line of its own, as the console writes every line
        console.line(help);
        return finishOutput(console, kExitOk);
    }
    if (options.command == Command::Version) {
        console.line("tarvexctl " + env.version());
        return finishOutput(console, kExitOk);
    }

    const tarvex::Services& services = env.services();
    ConsoleUi ui(*services.clock, console);
    // Nobody can put a card on a reader for a script: the card prompt waits
    // for one only where a person is watching.
    ui.cardWaitMs = options.cardWaitMs >= 0 ? uint32_t(options.cardWaitMs) : (env.interactive() ? 30000u : 0u);
    tarvex::ReaderCore core(services, ui);
    core.setScanDuringReset(true);
    ScanDriver scans(core, *services.clock, env.events());
    ui.setScans(&scans);
    // The window's discovery: device notices start a cycle soon, instead of
    // at the next tick. list and doctor need none (one cycle asks every
    // source directly).
    std::shared_ptr<void> watches;
    if (options.command != Command::List && options.command != Command::Doctor)
        watches = env.watchDevices();

    Tool tool{core, scans, ui, console, *services.clock};
    if (options.verbose)
        traceExchanges(tool);
    int status = kExitOk;
    switch (options.command) {
    case Command::List:
        status = runList(tool, options);
        break;
    case Command::Switch:
        status = runSwitch(tool, options);
        break;
    case Command::Watch:
        status = runWatch(tool, options, env.watchCycles());
        break;
    case Command::Wait:
        status = runWait(tool, options);
        break;
    case Command::Info:
        status = runInfo(tool, options);
        break;
    case Command::Doctor:
        status = runDoctor(tool, options);
        break;
    case Command::Help:
    case Command::Version:
        break;
    }
    // The watches stop (and join their threads) before the core they
    // reach goes.
    watches.reset();
    env.scanned(scans.cycles());
    status = finishOutput(console, status);
    if (interruptRequested() && status != kExitUsage)
        status = kExitInterrupted;
    return status;
}

} // namespace tarvexctl
