// The three commands, on a reader core that main() (or a test) has wired.
// Each returns the exit status.
#pragma once
#include "console.h"
#include "console_ui.h"
#include "options.h"
#include "reader_info.h"
#include "scan_driver.h"
#include "selection.h"

#include "core/reader_core.h"

namespace tarvexctl {

struct Tool {
    tarvex::ReaderCore& core;
    ScanDriver& scans;
    ConsoleUi& ui;
    Console& console;
    tarvex::Clock& clock;
};

// The listed readers, as the tool shows them.
std::vector<ReaderInfo> listedReaders(const tarvex::DeviceList& list);

// One scan of every source (with the card wait of --card-wait), then the
// readers chosen on the command line among those listed.
struct Chosen {
    std::vector<ReaderInfo> listed;
    Selection selection;
};
Chosen lookAndChoose(Tool& tool, const Options& options);

int runList(Tool& tool, const Options& options);
int runSwitch(Tool& tool, const Options& options);
// Runs until the process is stopped; `cycles` > 0 ends it after that many
// scan cycles (tests).
int runWatch(Tool& tool, const Options& options, uint64_t cycles = 0);
// Returns once the chosen reader is listed (in --personality when given).
int runWait(Tool& tool, const Options& options);
// The chosen reader's identity and, where it takes commands, its HID format.
int runInfo(Tool& tool, const Options& options);
// -v: every exchange with a reader on standard error.
void traceExchanges(Tool& tool);

class DoctorSystem;
// What a user checks first when a reader is not found, one line per check;
// 0 when every check is good, 1 when one found a problem.
int runDoctor(Tool& tool, const Options& options, DoctorSystem& system);
// The same on this machine's facts.
int runDoctor(Tool& tool, const Options& options);

} // namespace tarvexctl
