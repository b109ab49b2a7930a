#include "image/bmp_reader.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace krt460 {
namespace {

using Rows = std::array<PixelRow, kScreenHeight>;

// The rows at `scale`, as a BMP: bottom-up, or top-down (a negative height); `inverted`: the
// palette the other way round (0 white, 1 black) and every bit flipped.
std::vector<std::uint8_t> Bitmap(const Rows& rows, int scale, bool topDown, bool inverted) {
    const auto size = static_cast<std::size_t>(kScreenWidth * scale);
    const auto dots = static_cast<std::size_t>(scale);
    std::vector<std::uint8_t> scaled(size * size / 8);
    for (std::size_t y = 0; y < size; ++y) {
        for (std::size_t x = 0; x < size; ++x) {
            const std::size_t dot = x / dots;
            if ((rows[y / dots][dot / 8] >> (7 - dot % 8) & 1) != 0) {
                scaled[(y * size + x) / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            }
        }
    }
    const auto height = static_cast<std::int32_t>(size);
    std::vector<std::uint8_t> file = EncodeMonochromeBitmap(height, height, scaled);
    if (topDown) { // the writer knows bottom-up only: the rows as given, and a header that says so
        const auto negative = static_cast<std::uint32_t>(-height);
        for (std::size_t i = 0; i < 4; ++i) {
            file[22 + i] = static_cast<std::uint8_t>(negative >> (8 * i));
        }
        std::copy(scaled.begin(), scaled.end(), file.begin() + kBitmapHeaderSize);
    }
    if (inverted) {
        std::transform(file.begin() + 54, file.end(), file.begin() + 54, std::bit_not<>());
    }
    return file;
}

TEST(BmpReader, ReadsTheScreenBackAtEveryScaleAndRowOrder) {
    const std::vector<std::uint8_t> sample = test::ReadFileBytes(KRT460_SAMPLE_BMP);
    Rows expected{};
    ASSERT_TRUE(ReadScreenBitmap(sample, expected));
    EXPECT_NE(expected[80], PixelRow{}) << "the sample has black and white";
    // Top-down at scale 3, the palette the other way round at scale 2.
    for (const int scale : {1, 2, 3, 8}) {
        Rows rows{};
        ASSERT_TRUE(ReadScreenBitmap(Bitmap(expected, scale, scale == 3, scale == 2), rows));
        EXPECT_EQ(rows, expected) << "scale " << scale;
    }
}

TEST(BmpReader, RefusesWhatIsNoScreenBitmap) {
    const std::vector<std::uint8_t> sample = test::ReadFileBytes(KRT460_SAMPLE_BMP);
    const struct {
        const char* what;
        std::size_t at;
        std::uint8_t value;
        std::size_t size;
    } cases[] = {
        {"not BM", 0, 'X', sample.size()},
        {"161 wide", 18, 161, sample.size()},
        {"8 bits a pixel", 28, 8, sample.size()},
        {"compressed", 30, 1, sample.size()},
        {"pixels beyond the end", 10, 0xF0, sample.size()},
        {"cut short", 0, 'B', sample.size() - 1},
        {"only a header", 0, 'B', 40},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> file = sample;
        file[c.at] = c.value;
        file.resize(c.size);
        Rows rows{};
        EXPECT_FALSE(ReadScreenBitmap(file, rows)) << c.what;
    }
}

} // namespace
} // namespace krt460
