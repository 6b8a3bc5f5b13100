// Upper-case hex text of bytes, for the command log and the CLI.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zn480sim {

std::string toHex(const uint8_t* data, size_t n);
inline std::string toHex(const std::vector<uint8_t>& v)
{
    return toHex(v.data(), v.size());
}
// Parses hex digits (spaces allowed between bytes); nullopt on anything else.
std::optional<std::vector<uint8_t>> fromHex(const std::string& text);

} // namespace zn480sim
