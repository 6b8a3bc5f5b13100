// The Windows PC/SC binding taken from an explicit library file instead of
// the system's winscard.dll. Tests load a stand-in library with the same
// exports through it, so the by-name binding and the calling convention are
// exercised where the system library cannot be (Wine's is a stub).
#pragma once
#include "platform/pcsc.h"

#include <string>

namespace tarvex::pcsc {

// Binds the winscard exports from the library at the full path `path` at the
// first call; a missing file or export, or a path that is not a full one,
// makes every call fail with E_NO_SERVICE.
std::unique_ptr<Api> loadWinscardFrom(const std::string& path);

} // namespace tarvex::pcsc
