#include "image/bmp_reader.h"

#include <cstdlib>

namespace krt460 {
namespace {

std::uint32_t Read32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                      bytes[at + 3] << 24);
}

std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// Grey level of a palette entry (blue, green, red, reserved).
bool IsWhite(std::span<const std::uint8_t> bytes, std::size_t entry) {
    return bytes[entry] + bytes[entry + 1] + bytes[entry + 2] >= 3 * 128;
}

} // namespace

bool ReadScreenBitmap(std::span<const std::uint8_t> file,
                      std::array<PixelRow, kScreenHeight>& rows) {
    constexpr std::size_t kInfoAt = 14;
    if (file.size() < kInfoAt + 40 || file[0] != 'B' || file[1] != 'M') {
        return false;
    }
    const std::uint32_t infoSize = Read32(file, kInfoAt);
    const auto width = static_cast<std::int32_t>(Read32(file, kInfoAt + 4));
    const auto height = static_cast<std::int32_t>(Read32(file, kInfoAt + 8));
    const std::uint32_t colours = Read32(file, kInfoAt + 32);
    if (infoSize < 40 || infoSize > 1024 || Read16(file, kInfoAt + 12) != 1 ||
        Read16(file, kInfoAt + 14) != 1 || Read32(file, kInfoAt + 16) != 0 || width <= 0 ||
        width % kScreenWidth != 0 || width > kScreenWidth * 64 || std::abs(height) != width ||
        colours > 2) {
        return false;
    }
    const std::size_t palette = kInfoAt + infoSize;
    const std::size_t pixels = Read32(file, 10);
    const auto size = static_cast<std::size_t>(width);
    const std::size_t stride = (size + 31) / 32 * 4;
    if (palette + 8 > file.size() || pixels < palette + 8 || pixels > file.size() ||
        (file.size() - pixels) / stride < size) {
        return false;
    }
    // Bit values as they are stored: a set bit is the colour of palette entry 1.
    const bool zeroWhite = IsWhite(file, palette);
    const bool oneWhite = IsWhite(file, palette + 4);
    const std::size_t scale = size / kScreenWidth;
    for (std::size_t y = 0; y < kScreenHeight; ++y) {
        const std::size_t stored = height > 0 ? size - 1 - y * scale : y * scale;
        const std::uint8_t* line = file.data() + pixels + stored * stride;
        PixelRow& row = rows[y];
        row.fill(0);
        for (std::size_t x = 0; x < kScreenWidth; ++x) {
            const std::size_t source = x * scale;
            const bool bit = (line[source / 8] >> (7 - source % 8)) & 1;
            if (bit ? oneWhite : zeroWhite) {
                row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | 0x80 >> (x % 8));
            }
        }
    }
    return true;
}

} // namespace krt460
