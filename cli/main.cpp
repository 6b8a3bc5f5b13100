// tarvexctl: the reader core on the command line. Wires the platform
// services as the window's program does, the device watches to the scan
// driver, and runs one command.
#include "commands.h"
#include "terminal.h"

#include "core/system_services.h"
#include "platform/device_watch.h"

#include <memory>
#include <string>
#include <vector>

#ifndef TARVEX_VERSION
#define TARVEX_VERSION "unknown"
#endif

int main(int argc, char* argv[])
{
    using namespace tarvexctl;
    using namespace tarvex;

    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = parseArguments(args);
    const bool progress = isTerminal(Stream::Err);
    StdConsole console(stdout, stderr, progress);
    if (!parsed.error.empty()) {
        console.message(parsed.error);
        return kExitUsage;
    }
    const Options& options = parsed.options;
    if (options.command == Command::Help) {
        std::fputs(helpText().c_str(), stdout);
        return kExitOk;
    }
    if (options.command == Command::Version) {
        console.line(std::string("tarvexctl ") + TARVEX_VERSION);
        return kExitOk;
    }

    // Services live as long as the program; the core holds plain pointers.
    const SystemServices system;
    // A script may run the tool every few seconds: what other devices'
    // ports said to the probe is kept from one run to the next.
    const std::unique_ptr<ProbeMemory> probeMemory = makeSystemProbeMemory();
    Services services = system.services();
    services.probeMemory = probeMemory.get();

    ConsoleUi ui(*services.clock, console);
    // Nobody can put a card on a reader for a script: the card prompt waits
    // for one only where a person is watching.
    ui.cardWaitMs
        = options.cardWaitMs >= 0 ? uint32_t(options.cardWaitMs) : (progress && isTerminal(Stream::In) ? 30000u : 0u);
    ReaderCore core(services, ui);
    DeviceEvents events;
    ScanDriver scans(core, *services.clock, events);
    ui.setScans(&scans);

    // The window's discovery: device notices start a cycle soon, instead of
    // at the next tick. list needs none (one cycle asks every source).
    std::unique_ptr<DeviceWatch> deviceWatch, readerWatch;
    if (options.command != Command::List && options.command != Command::Doctor) {
        const DeviceChanged changed = [&events] { events.notify(); };
        deviceWatch = watchSystemDevices(changed);
        readerWatch = watchPcscReaders(pcsc::loadSystemPcsc(), changed);
    }

    Tool tool{core, scans, ui, console, *services.clock};
    int status = kExitOk;
    switch (options.command) {
    case Command::List:
        status = runList(tool, options);
        break;
    case Command::Switch:
        status = runSwitch(tool, options);
        break;
    case Command::Watch:
        status = runWatch(tool, options);
        break;
    case Command::Doctor:
        status = runDoctor(tool, options);
        break;
    default:
        break;
    }
    // The watches stop (and join their threads) before the events they post to go.
    readerWatch.reset();
    deviceWatch.reset();
    return status;
}
