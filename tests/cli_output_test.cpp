#include "cli/hardcopy.h"
#include "cli/listen_command.h"
#include "cli/picture_output.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <memory>

namespace krt460::cli {
namespace {

CScreenImage DecodedSample() {
    const auto frame = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    auto capture = std::make_unique<CCaptureBuffer>();
    StoreRecording(*capture, frame);
    CScreenImage image;
    EXPECT_TRUE(image.Decode(*capture, true));
    return image;
}

bool WhiteInBmp(const std::vector<std::uint8_t>& bmp, int width, int height, int x, int y) {
    const auto stride = static_cast<std::size_t>((width + 31) / 32 * 4);
    const std::size_t row = kBitmapHeaderSize + static_cast<std::size_t>(height - 1 - y) * stride;
    return (bmp[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
}

std::uint32_t Field(const std::vector<std::uint8_t>& bmp, std::size_t offset) {
    return static_cast<std::uint32_t>(bmp[offset] | bmp[offset + 1] << 8 | bmp[offset + 2] << 16 |
                                      bmp[offset + 3] << 24);
}

TEST(PictureOutput, EveryScaleGivesAConsistentBmpOfEnlargedDots) {
    const CScreenImage image = DecodedSample();
    const auto small = test::ReadFileBytes(KRT460_SAMPLE_BMP);
    for (int scale = 1; scale <= 8; ++scale) {
        const ScaledPicture picture = ScalePicture(image, scale);
        const auto big = EncodeMonochromeBitmap(picture.width, picture.height, picture.rows);
        if (scale == 1) {
            EXPECT_EQ(big, small) << "at scale 1 the program's own file";
        }
        const int side = 160 * scale;
        ASSERT_EQ(big.size(), kBitmapHeaderSize + static_cast<std::size_t>(side * side / 8));
        EXPECT_EQ(Field(big, 2), big.size()) << "bfSize at scale " << scale;
        EXPECT_EQ(Field(big, 10), kBitmapHeaderSize) << "bfOffBits at scale " << scale;
        EXPECT_EQ(Field(big, 18), static_cast<std::uint32_t>(side));
        EXPECT_EQ(Field(big, 22), static_cast<std::uint32_t>(side));
        for (int y = 0; y < side; y += scale == 2 ? 1 : 7) {
            for (int x = 0; x < side; ++x) {
                ASSERT_EQ(WhiteInBmp(big, side, side, x, y),
                          WhiteInBmp(small, 160, 160, x / scale, y / scale))
                    << x << "," << y << " at scale " << scale;
            }
        }
    }
}

TEST(ListenNames, TakenNamesGetASuffixAndNothingIsOverwritten) {
    test::ScratchDir dir;
    const std::string stamp = "20261207-101500";
    EXPECT_EQ(UniqueCaptureBase(dir.Path().string(), stamp), dir.File(stamp));
    test::WriteFileBytes(dir.File(stamp + ".bin"), "x");
    EXPECT_EQ(UniqueCaptureBase(dir.Path().string(), stamp), dir.File(stamp + "-2"));
    test::WriteFileBytes(dir.File(stamp + "-2.partial.bin"), "x");
    EXPECT_EQ(UniqueCaptureBase(dir.Path().string(), stamp), dir.File(stamp + "-3"));
}

} // namespace
} // namespace krt460::cli
