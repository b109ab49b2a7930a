#include "cli/hardcopy.h"
#include "cli/output_files.h"
#include "image/picture_output.h"
#include "test_files.h"

#include <gtest/gtest.h>

namespace krt460::cli {
namespace {

bool WhiteInBmp(const std::vector<std::uint8_t>& bmp, int width, int height, int x, int y) {
    const auto stride = static_cast<std::size_t>((width + 31) / 32 * 4);
    const std::size_t row = kBitmapHeaderSize + static_cast<std::size_t>(height - 1 - y) * stride;
    return (bmp[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
}

TEST(PictureOutput, EveryScaleGivesAConsistentBmpOfEnlargedDots) {
    CScreenImage image;
    ASSERT_TRUE(image.Decode(test::ReadFileBytes(KRT460_SAMPLE_FRAME), true));
    const auto small = test::ReadFileBytes(KRT460_SAMPLE_BMP);
    for (int scale = 1; scale <= 8; ++scale) {
        const ScaledPicture picture = ScalePicture(image, scale);
        const auto big = EncodeMonochromeBitmap(picture.width, picture.height, picture.rows);
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
