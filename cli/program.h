// The whole program on a console and the machine's services: parses the
// command line, wires the reader core, the scan driver and the device
// watches as the window's program does, and runs one command. main() gives
// it the real machine; the tests give it fakes, so that what a caller sees
// (the lines, the exit status) is what the shipped program does.
#pragma once
#include "console.h"
#include "scan_driver.h"

#include "core/services.h"

#include <memory>
#include <string>
#include <vector>

namespace tarvexctl {

class Environment {
public:
    virtual ~Environment() = default;
    virtual const tarvex::Services& services() = 0;
    virtual DeviceEvents& events() = 0;
    // Starts the device watches, which post to events() until the returned
    // object goes. Commands that run a single cycle need none.
    virtual std::shared_ptr<void> watchDevices() { return nullptr; }
    // Whether a person is at the console (standard input and error are
    // terminals): the card prompt waits for a card only then.
    virtual bool interactive() const { return false; }
    // watch ends after this many cycles when not 0 (tests).
    virtual uint64_t watchCycles() const { return 0; }
    // Told the scan driver's count at the end of the run (tests).
    virtual void scanned(uint64_t cycles) { (void)cycles; }
    // What the program is, for --version.
    virtual std::string version() const { return "unknown"; }
};

int runProgram(const std::vector<std::string>& args, Console& console, Environment& env);

} // namespace tarvexctl
