// The sources a scan could not look at, as the tool tells them. "No reader"
// and "could not look" lead a script to opposite conclusions (a switch
// retried later, an installer that stops), so an unavailable source is
// never silent: a message on standard error, and with --json one object on
// standard output beside the readers.
#pragma once
#include "core/source_problem.h"

#include <string>
#include <vector>

namespace tarvexctl {

struct Tool;
struct Options;

// "pcsc", "serial", "hid", "drives": the JSON field's values.
const char* sourceKey(tarvex::Source source);
// "PC/SC", "serial ports", "HID", "drives": for messages.
const char* sourceLabel(tarvex::Source source);

// "PC/SC: the smart-card service is not running (SCARD_E_NO_SERVICE)"
std::string textSourceProblem(const tarvex::SourceProblem& problem);
// {"result":"unavailable","source":"pcsc","reason":"the smart-card service is not running (SCARD_E_NO_SERVICE)"}
std::string jsonSourceProblem(const tarvex::SourceProblem& problem);

// Tells every source the core's last cycle could not look at. True when
// there was one.
bool reportSourceProblems(Tool& tool, const Options& options);

} // namespace tarvexctl
