// tarvexctl's commands on the reader core, against fakes of every service:
// each simulated reader is the simulator's reader model, shown to the fakes
// in whatever personality it is in (a PC/SC reader, a serial port, a HID
// interface, the marker drive), leaving on the reboot command and coming
// back after its restart. Time is a fake clock: the 2000 ms reboot pause,
// the HID reset's waits and the scan ticks take no real time.
#pragma once
#include "commands.h"
#include "interrupts.h"
#include "program.h"
#include "fakes.h"
#include "zn480sim/reader.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvexctl::testing {

using SimPersonality = zn480sim::Personality;

class RecordingConsole : public Console {
public:
    std::vector<std::string> lines, messages, statuses;
    // Writes fail from this many lines on (a pipe closed after them).
    size_t linesUntilFailure = size_t(-1);
    void line(const std::string& text) override
    {
        if (lines.size() < linesUntilFailure)
            lines.push_back(text);
    }
    bool failed() const override { return lines.size() >= linesUntilFailure; }
    std::string failure() const override { return failed() ? "cannot write the results: Broken pipe" : ""; }
    void message(const std::string& text) override { messages.push_back(text); }
    void status(const std::string& text) override
    {
        if (!text.empty())
            statuses.push_back(text);
    }
};

// Waits on the fake clock: time passes, no notice can come meanwhile
// (tests post theirs from the fakes' hooks).
class FakeEvents : public DeviceEvents {
public:
    void wait(tarvex::Clock& clock, uint32_t ms) override { clock.sleepMs(ms); }
};

struct SimulatedReader {
    zn480sim::Reader model;
    std::string pcscName; // its PC/SC reader in CCID
    int port = 0;         // its COM port in CDC
    bool cardPresent = true;
    bool comesBack = true;
    uint32_t restartMs = 1000; // the simulator's restart delay
    std::optional<SimPersonality> shownAs;
    // A reboot in progress: where it comes back, and when.
    std::optional<SimPersonality> returning;
    uint32_t returnsAt = 0;
};

// The program's pieces wired on a world of fakes, as main() wires them.
struct Rig {
    Rig(tarvex::fakes::FakeWorld& fakes, Console& console, tarvex::ProbeMemory* probeMemory = nullptr);
    ConsoleUi ui;
    tarvex::ReaderCore core;
    FakeEvents events;
    ScanDriver scans;
};

class CliWorld {
public:
    CliWorld();
    ~CliWorld() = default;

    tarvex::fakes::FakeWorld fakes;
    std::vector<std::unique_ptr<SimulatedReader>> readers;
    // What the runs keep across runs, as main() wires it; a run without it
    // (remembersProbes false) keeps nothing.
    tarvex::fakes::FakeProbeMemory probeMemory;
    bool remembersProbes = true;

    // A reader with serial `serial` (8 hex digits) shown in `p`.
    SimulatedReader& add(SimPersonality p, const std::string& serial, uint16_t fwMinor = 166);
    void show(SimulatedReader& r, std::optional<SimPersonality> p);

    // One run of the program with these arguments, as a fresh process would
    // do it: a new core, console and scan driver on the same world.
    struct Run {
        int status = -1;
        RecordingConsole console;
        uint64_t cycles = 0;
        uint32_t startMs = 0, endMs = 0;
    };
    Run run(const std::vector<std::string>& args, uint64_t watchCycles = 0, size_t linesUntilFailure = size_t(-1));

    // Called at the start of every PC/SC listing (scan cycles and opens):
    // the moment the readers' comings and goings are applied.
    std::function<void()> onListing;
    // Called when the LED tool is started (k = 1, 2, ...).
    std::function<void(int k)> onKbflash;

private:
    void applyDue();
    SimulatedReader* byPcscName(const std::string& name);
    SimulatedReader* byPort(int port);
    int kbflashStarts_ = 0;
};

// The commands `reader` received since `from` (an index into its log).
std::vector<std::string> commandsSince(const SimulatedReader& reader, size_t from);
// Whether `run` holds `want` back to back.
bool containsRun(const std::vector<std::string>& all, const std::vector<std::string>& want);

} // namespace tarvexctl::testing
