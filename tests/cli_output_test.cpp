#include "cli/listen_command.h"
#include "cli/picture_output.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <png.h>

namespace krt460::cli {
namespace {

CScreenImage DecodedSample(bool border = true) {
    const auto frame = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    CaptureBytes buffer{};
    std::copy(frame.begin(), frame.end(), buffer.begin());
    CScreenImage image;
    EXPECT_TRUE(image.ParseBands(buffer));
    image.BuildImage();
    if (border) {
        image.DrawBorder();
    }
    image.DescribeRows();
    return image;
}

bool WhiteInBmp(const std::vector<std::uint8_t>& bmp, int width, int height, int x, int y) {
    const auto stride = static_cast<std::size_t>((width + 31) / 32 * 4);
    const std::size_t row = kBitmapHeaderSize + static_cast<std::size_t>(height - 1 - y) * stride;
    return (bmp[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
}

TEST(PictureOutput, BmpAtScaleOneIsTheProgramsOwnFile) {
    test::ScratchDir dir;
    std::string error;
    ASSERT_TRUE(WritePicture(DecodedSample(), dir.File("a.bmp"), {}, error)) << error;
    EXPECT_EQ(test::ReadFileBytes(dir.File("a.bmp")), test::ReadFileBytes(KRT460_SAMPLE_BMP));
}

TEST(PictureOutput, PngHoldsTheSamePixelsAsTheBmp) {
    test::ScratchDir dir;
    std::string error;
    ASSERT_TRUE(WritePicture(DecodedSample(), dir.File("a.png"), {}, error)) << error;

    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&png, dir.File("a.png").c_str()));
    EXPECT_EQ(png.width, 160u);
    EXPECT_EQ(png.height, 160u);
    png.format = PNG_FORMAT_GRAY;
    std::vector<std::uint8_t> grey(PNG_IMAGE_SIZE(png));
    ASSERT_TRUE(png_image_finish_read(&png, nullptr, grey.data(), 0, nullptr));

    const auto bmp = test::ReadFileBytes(KRT460_SAMPLE_BMP);
    for (int y = 0; y < 160; ++y) {
        for (int x = 0; x < 160; ++x) {
            const std::uint8_t expected = WhiteInBmp(bmp, 160, 160, x, y) ? 255 : 0;
            ASSERT_EQ(grey[static_cast<std::size_t>(y * 160 + x)], expected) << x << "," << y;
        }
    }
}

TEST(PictureOutput, ScaleTwoDoublesEveryDot) {
    test::ScratchDir dir;
    std::string error;
    PictureOptions options;
    options.scale = 2;
    ASSERT_TRUE(WritePicture(DecodedSample(), dir.File("big.bmp"), options, error)) << error;
    const auto big = test::ReadFileBytes(dir.File("big.bmp"));
    ASSERT_EQ(big.size(), kBitmapHeaderSize + 40u * 320u);
    EXPECT_EQ(big[18] | big[19] << 8, 320);
    EXPECT_EQ(big[22] | big[23] << 8, 320);
    const auto small = test::ReadFileBytes(KRT460_SAMPLE_BMP);
    for (int y = 0; y < 320; ++y) {
        for (int x = 0; x < 320; ++x) {
            ASSERT_EQ(WhiteInBmp(big, 320, 320, x, y), WhiteInBmp(small, 160, 160, x / 2, y / 2))
                << x << "," << y;
        }
    }
}

TEST(PictureOutput, FormatComesFromTheOptionElseTheExtension) {
    PictureOptions png;
    png.format = PictureFormat::Png;
    EXPECT_EQ(FormatFor({}, "a.png"), PictureFormat::Png);
    EXPECT_EQ(FormatFor({}, "A.PNG"), PictureFormat::Png);
    EXPECT_EQ(FormatFor({}, "a.bmp"), PictureFormat::Bmp);
    EXPECT_EQ(FormatFor({}, "png"), PictureFormat::Bmp);
    EXPECT_EQ(FormatFor(png, "a.bmp"), PictureFormat::Png);
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
