#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krt460::cli {

// Encodes a one-bit grey PNG (bit 1 white); `rows` holds height rows of (width + 7) / 8 bytes,
// the leftmost pixel in bit 7. False with `error` set when PNG is unavailable or encoding failed.
bool EncodePng(int width, int height, const std::vector<std::uint8_t>& rows,
               std::vector<std::uint8_t>& png, std::string& error);

} // namespace krt460::cli
