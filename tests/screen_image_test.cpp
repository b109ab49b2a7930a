#include "image/screen_image.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace krt460 {
namespace {

// Builds a buffer to the hardcopy layout: leading part, twenty bands of
// [prefix, A0 00, 160 columns, LF], then whatever the test appends.
class FrameBuilder {
public:
    explicit FrameBuilder(std::string leading = "\x1b@Hardcopy.\r\n") { Append(leading); }

    FrameBuilder& Bands(int count, std::uint8_t fill, const std::string& prefix = "\x1bK") {
        for (int i = 0; i < count; ++i) {
            Append(prefix + std::string("\xA0\x00", 2) + std::string(kBandColumns, char(fill)) +
                   "\n");
        }
        return *this;
    }
    FrameBuilder& Append(const std::string& text) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        return *this;
    }
    std::vector<std::uint8_t>& Bytes() { return bytes_; }

    // The bytes at the start of an otherwise zero 4096-byte buffer.
    CaptureBytes Buffer() const {
        CaptureBytes buffer{};
        std::copy_n(bytes_.begin(), std::min(bytes_.size(), buffer.size()), buffer.begin());
        return buffer;
    }

private:
    std::vector<std::uint8_t> bytes_;
};

TEST(ScreenImage, SampleHardcopyDecodesToTheReferenceBitmap) {
    const std::vector<std::uint8_t> frame = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    auto capture = std::make_unique<CCaptureBuffer>();
    capture->Reset();
    for (const std::uint8_t byte : frame) {
        capture->Store(byte);
    }
    CScreenImage decoded;
    ASSERT_TRUE(decoded.Decode(capture->BytesOfThisCapture(), true));
    // Byte for byte the BMP the generator wrote from its own pixels: header, palette, bottom-up
    // rows. A copy describes its own rows: the original may go.
    const auto copy = std::make_unique<CScreenImage>(decoded);
    decoded.Rows()[0].fill(0x55);
    EXPECT_EQ(copy->Description().bits, copy->Rows().data());
    const BitmapFileBytes encoded = copy->EncodeBitmap();
    EXPECT_EQ(std::vector<std::uint8_t>(encoded.begin(), encoded.end()),
              test::ReadFileBytes(KRT460_SAMPLE_BMP));
}

// A 0xA0 before the first full stop is part of the leading text, and one among the column bytes
// starts no band; right after the full stop it is band 0's count, and the byte after it is
// skipped as the high byte, so that band 0 starts with "\x1bK".
TEST(ScreenImage, A0IsACountOnlyAfterTheFullStop) {
    FrameBuilder frame("junk \xA0 without full stop \x1b\x01. more text");
    frame.Bands(1, 0x01, "\r\n\x1b*\x04").Bands(1, 0xA0).Bands(18, 0x02);
    CScreenImage image;
    ASSERT_TRUE(image.ParseBands(frame.Buffer()));
    EXPECT_EQ(image.Bands()[0][0], 0x01);
    EXPECT_EQ(image.Bands()[1][159], 0xA0);
    EXPECT_EQ(image.Bands()[19][0], 0x02);
    EXPECT_FALSE(image.ParseBands(FrameBuilder("x.\xA0!").Bands(20, 0x00).Buffer()));
    EXPECT_EQ(image.Bands()[0][0], 0x1B);
    EXPECT_EQ(image.Bands()[0][1], 'K');
}

// Every decode starts from empty bands: what a failed parse did not reach is white, never a
// band of the picture before.
TEST(ScreenImage, FailedParseLeavesTheBandsItDidNotReachEmpty) {
    CScreenImage image;
    ASSERT_TRUE(image.ParseBands(FrameBuilder().Bands(20, 0x11).Buffer()));

    FrameBuilder broken;
    broken.Bands(5, 0x22).Bands(1, 0x33);
    broken.Bytes().back() = 0x0D; // band 5 lacks its line feed
    broken.Bands(14, 0x44);
    EXPECT_FALSE(image.ParseBands(broken.Buffer()));
    EXPECT_EQ(image.Bands()[4][0], 0x22);
    for (std::size_t band = 6; band < kBandCount; ++band) {
        EXPECT_EQ(image.Bands()[band][0], 0x00) << "band " << band;
    }
}

// Into a missing folder, or over a read-only file: false, and the folder as it was. Root
// writes read-only files regardless; the build runs this test as an ordinary user too.
TEST(ScreenImage, FailedSaveIntoAMissingFolderOrOverAReadOnlyFileChangesNothing) {
    test::ScratchDir dir;
    const std::string readOnly = dir.File("keep.bmp");
    test::WriteFileBytes(readOnly, "old");
    EXPECT_FALSE(CScreenImage().SaveBitmapFile(dir.File("x/y.bmp")));
    if (!test::MakeReadOnly(readOnly)) {
        GTEST_SKIP() << "this user may write read-only files";
    }
    EXPECT_FALSE(CScreenImage().SaveBitmapFile(readOnly));
    EXPECT_EQ(test::ReadFileBytes(readOnly), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

} // namespace
} // namespace krt460
