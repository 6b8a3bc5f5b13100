// Reading the port number out of a COM port name. The scan reads it from the
// serial-port map and OpenDevice reads it back from the list entry: both go
// through this one function, so a name the scan would list is exactly a name
// the reader can later be opened by.
#pragma once
#include <cstdint>
#include <string_view>

namespace tarvex {

// The number of "COM<digits>", 1 to 255. 0 when the name is not "COM"
// followed by decimal digits only, or the number is 0 or beyond 255 (serchan
// keeps only the low 8 bits, so COM259 would open COM3).
int32_t ComPortNumber(std::string_view portName);

} // namespace tarvex
