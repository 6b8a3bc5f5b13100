// Hex text <-> bytes. Inside the program every command, reply, status word,
// serial number and ATR is hex text; real bytes exist only at the transports.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {

using Bytes = std::vector<uint8_t>;

// Reads either letter case; odd length gets a leading "0". Any pair that is
// not hex, or more than 32766 characters, gives the empty byte string.
Bytes HexToBytes(const std::string& text);
// Two upper-case digits per byte.
std::string BytesToHex(const uint8_t* data, size_t length);
std::string BytesToHex(const Bytes& bytes);

} // namespace tarvex
