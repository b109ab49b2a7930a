#pragma once

#include "image/screen_image.h"

#include <array>
#include <cstdint>
#include <span>

namespace krt460 {

// Reads a one-bit BMP of the instrument's screen back into its 160 rows (bit 1 white, as in
// CScreenImage): 160 x 160 pixels, or any whole-number scale of it, as KRT460.exe and krt460
// --scale write them; each dot is read from the top-left pixel of its block. Rows may run either
// way and the palette may be inverted. False when the file is no such BMP.
bool ReadScreenBitmap(std::span<const std::uint8_t> file,
                      std::array<PixelRow, kScreenHeight>& rows);

} // namespace krt460
