#include "test_files.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace krt460 {
namespace {

// A 4-bit BMP as the resource compiler takes it, read into rows of RGB values (row 0 on top).
struct Picture {
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0;
    std::vector<std::uint32_t> pixels; // 0xRRGGBB

    std::uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

Picture ReadBmp(const std::string& path) {
    const auto b = test::ReadFileBytes(path);
    Picture p;
    if (b.size() < 118 || b[0] != 'B' || b[1] != 'M') {
        return p;
    }
    p.width = static_cast<int>(Le32(b, 18));
    p.height = static_cast<int>(Le32(b, 22));
    p.bitsPerPixel = b[28];
    if (p.bitsPerPixel != 4) {
        return p;
    }
    const std::size_t offset = Le32(b, 10);
    const std::size_t stride = static_cast<std::size_t>((p.width * 4 + 31) / 32 * 4);
    for (int y = 0; y < p.height; ++y) {
        const std::size_t row = offset + static_cast<std::size_t>(p.height - 1 - y) * stride;
        for (int x = 0; x < p.width; ++x) {
            const std::uint8_t byte = b[row + static_cast<std::size_t>(x / 2)];
            const unsigned index = x % 2 == 0 ? byte >> 4 : byte & 0x0F;
            const std::size_t entry = 54 + 4 * index;
            p.pixels.push_back(static_cast<std::uint32_t>(b[entry + 2]) << 16 |
                               static_cast<std::uint32_t>(b[entry + 1]) << 8 | b[entry]);
        }
    }
    return p;
}

// Discs nine rows high, 5, 7, 9, 9, 9, 9, 9, 7, 5 wide, centred on column 8.
bool InDisc(int x, int y, int top) {
    constexpr int widths[] = {5, 7, 9, 9, 9, 9, 9, 7, 5};
    const int row = y - top;
    return row >= 0 && row < 9 && std::abs(x - 8) <= widths[row] / 2;
}

TEST(ResourceImages, LampsAreThreeDiscsWithOneLit) {
    struct Lamp {
        const char* file;
        int litTop;
        std::uint32_t colour;
    };
    const Lamp lamps[] = {{"lamp_idle.bmp", 27, 0xFFFF00},
                          {"lamp_receiving.bmp", 15, 0x00FF00},
                          {"lamp_received.bmp", 3, 0xFF0000}};
    for (const Lamp& lamp : lamps) {
        const Picture p = ReadBmp(std::string(KRT460_RES_DIR) + "/" + lamp.file);
        ASSERT_EQ(p.width, 17) << lamp.file;
        ASSERT_EQ(p.height, 39) << lamp.file;
        ASSERT_EQ(p.bitsPerPixel, 4) << lamp.file;
        for (int y = 0; y < p.height; ++y) {
            for (int x = 0; x < p.width; ++x) {
                std::uint32_t expected = 0x000000;
                for (const int top : {3, 15, 27}) {
                    if (InDisc(x, y, top)) {
                        expected = top == lamp.litTop ? lamp.colour : 0xC0C0C0;
                    }
                }
                ASSERT_EQ(p.At(x, y), expected) << lamp.file << " at " << x << "," << y;
            }
        }
    }
}

TEST(ResourceImages, SampleScreenIs160By160In16Colours) {
    const Picture p = ReadBmp(std::string(KRT460_RES_DIR) + "/sample_screen.bmp");
    EXPECT_EQ(p.width, 160);
    EXPECT_EQ(p.height, 160);
    EXPECT_EQ(p.bitsPerPixel, 4);
}

} // namespace
} // namespace krt460
