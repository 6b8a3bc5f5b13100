// A source the scan could not look at, and why. A cycle that could not ask
// the PC/SC service, open a port for lack of permission, search the HID
// interfaces or read the drives has not found "no reader" there: it does not
// know. The window shows only what it found, as it always has; a front end
// that answers to scripts tells the two apart with these.
#pragma once
#include "platform/pcsc.h"

#include <string>

namespace tarvex {

// The four places a cycle looks, in the order it looks at them.
enum class Source { Pcsc, Serial, Hid, Drives };

struct SourceProblem {
    Source source = Source::Pcsc;
    std::string what; // for a person: "the smart-card service is not running (SCARD_E_NO_SERVICE)"
};

// Why a PC/SC call that should have listed readers did not; empty for the
// answers that mean there are none: the service has no readers, or it is
// not running where it runs only while a reader is attached.
std::string pcscProblemText(pcsc::Result result, bool serviceStartsWithReaders);

// The pcsc-lite / winscard name of a result code ("SCARD_E_NO_SERVICE"),
// or its value in hex when it has no name here.
std::string pcscResultName(pcsc::Result result);

} // namespace tarvex
