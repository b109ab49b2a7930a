#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace krt460 {

// Encodes a one-bit grey PNG (bit 1 white) of `width` x `height` pixels; `rows` holds the rows
// top-down, (width + 7) / 8 bytes each, the leftmost pixel in bit 7. The platform's encoder:
// the Windows Imaging Component on Windows (part of the system and of Wine), libpng elsewhere.
// False with `error` set when encoding failed.
bool EncodePng(int width, int height, std::span<const std::uint8_t> rows,
               std::vector<std::uint8_t>& png, std::string& error);

} // namespace krt460
