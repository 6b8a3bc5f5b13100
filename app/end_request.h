// Set on the application object when the main window has closed; a command
// that is still yielding then ends the program instead of running on.
#pragma once

namespace tarvex {

inline constexpr const char* kEndRequestedProperty = "tarvexEndRequested";

} // namespace tarvex
