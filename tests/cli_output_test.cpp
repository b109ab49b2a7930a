#include "cli/hardcopy.h"
#include "cli/output_files.h"
#include "image/bmp_reader.h"
#include "image/picture_output.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace krt460::cli {
namespace {

bool WhiteInBmp(const std::vector<std::uint8_t>& bmp, int width, int height, int x, int y) {
    const auto stride = static_cast<std::size_t>((width + 31) / 32 * 4);
    const std::size_t row = kBitmapHeaderSize + static_cast<std::size_t>(height - 1 - y) * stride;
    return (bmp[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
}

// Each scale's BMP holds the dots enlarged and reads back as the screen: bottom-up as written,
// top-down (a negative height) at scale 3, and at scale 2 with the palette the other way round
// (0 white, 1 black) and every bit flipped.
TEST(PictureOutput, EveryScaleGivesAConsistentBmpOfEnlargedDotsThatReadsBack) {
    CScreenImage image;
    ASSERT_TRUE(image.Decode(test::ReadFileBytes(KRT460_SAMPLE_FRAME), true));
    const auto small = test::ReadFileBytes(KRT460_SAMPLE_BMP);
    std::array<PixelRow, kScreenHeight> screen{};
    ASSERT_TRUE(ReadScreenBitmap(small, screen));
    EXPECT_NE(screen[80], PixelRow{}) << "the sample has black and white";
    for (int scale = 1; scale <= 8; ++scale) {
        const ScaledPicture picture = ScalePicture(image, scale);
        auto big = EncodeMonochromeBitmap(picture.width, picture.height, picture.rows);
        if (scale == 1) {
            EXPECT_EQ(big, small) << "at scale 1 the program's own file";
        }
        const int side = 160 * scale;
        ASSERT_EQ(big.size(), kBitmapHeaderSize + static_cast<std::size_t>(side * side / 8));
        EXPECT_EQ(big[2] | big[3] << 8 | big[4] << 16 | big[5] << 24, std::ssize(big))
            << "bfSize at scale " << scale;
        for (int y = 0; y < side; y += scale == 2 ? 1 : 7) {
            for (int x = 0; x < side; ++x) {
                ASSERT_EQ(WhiteInBmp(big, side, side, x, y),
                          WhiteInBmp(small, 160, 160, x / scale, y / scale))
                    << x << "," << y << " at scale " << scale;
            }
        }
        if (scale ==
            3) { // the writer knows bottom-up only: the rows as given, and a header to say so
            const auto negative = static_cast<std::uint32_t>(-side);
            for (std::size_t i = 0; i < 4; ++i) {
                big[22 + i] = static_cast<std::uint8_t>(negative >> (8 * i));
            }
            std::copy(picture.rows.begin(), picture.rows.end(), big.begin() + kBitmapHeaderSize);
        } else if (scale == 2) {
            std::transform(big.begin() + 54, big.end(), big.begin() + 54, std::bit_not<>());
        }
        std::array<PixelRow, kScreenHeight> read{};
        ASSERT_TRUE(ReadScreenBitmap(big, read)) << "scale " << scale;
        EXPECT_EQ(read, screen) << "scale " << scale;
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
        std::array<PixelRow, kScreenHeight> rows{};
        EXPECT_FALSE(ReadScreenBitmap(file, rows)) << c.what;
    }
}

// A base with any file of a print is taken, and a name that another writer took meanwhile
// moves the print on to the next base, leaving nothing of it behind.
TEST(OutputFiles, PrintsTakeFreeNamesAndNothingIsOverwritten) {
    test::ScratchDir dir;
    const std::string stamp = "20261207-101500";
    const std::vector<std::uint8_t> bytes{1, 2, 3};
    std::string error;
    const auto write = [&](const std::vector<CaptureFile>& files) {
        return WriteCaptureFiles(dir.Path().string(), stamp, files, error);
    };
    EXPECT_EQ(write({{".bmp", bytes}, {".bin", bytes}}), dir.File(stamp));
    EXPECT_EQ(write({{".partial.bin", bytes}}), dir.File(stamp + "-2"));
    test::WriteFileBytes(dir.File(stamp + "-3.log"), "x"); // as if taken meanwhile
    EXPECT_EQ(write({{".bmp", bytes}, {".log", bytes}}), dir.File(stamp + "-4"));
    EXPECT_FALSE(std::filesystem::exists(dir.File(stamp + "-3.bmp")));
    EXPECT_EQ(test::ReadFileBytes(dir.File(stamp + ".bin")), bytes);

    // Bytes whose file could not be written go beside it, else to the temporary folder.
    EXPECT_EQ(KeepBytesElsewhere(dir.File("shot.png"), bytes, error), dir.File("shot.bin"));
    const std::string kept = KeepBytesElsewhere(dir.File("missing/shot.png"), bytes, error);
    EXPECT_EQ(std::filesystem::path(kept).parent_path(), std::filesystem::temp_directory_path());
    EXPECT_EQ(test::ReadFileBytes(kept), bytes);
    std::filesystem::remove(kept);
}

} // namespace
} // namespace krt460::cli
