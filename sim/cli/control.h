// Line commands to a running simulator, from tests and from the demo script.
#pragma once
#include "zn480sim/device.h"

#include <string>

namespace zn480sim {

// Runs one command line against the device; returns the answer line(s),
// starting with "OK" or "ERR".
std::string runControlCommand(Device& device, const std::string& line);

// The list of commands, for --help and for "help".
const char* controlHelp();

} // namespace zn480sim
