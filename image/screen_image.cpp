#include "image/screen_image.h"

#include "common/file_output.h"

#include <algorithm>

namespace krt460 {
namespace {

constexpr std::uint8_t kFullStop = 0x2E;
constexpr std::uint8_t kBandCountLow = 0xA0;
constexpr std::uint8_t kLineFeed = 0x0A;

template <typename T> void PutLittleEndian(std::uint8_t* out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * i));
    }
}

} // namespace

CScreenImage::CScreenImage(const CScreenImage& other)
    : bands_(other.bands_), rows_(other.rows_), description_(other.description_) {
    if (other.description_.bits == other.rows_.data()) {
        description_.bits = rows_.data();
    }
}

CScreenImage& CScreenImage::operator=(const CScreenImage& other) {
    if (this != &other) {
        bands_ = other.bands_;
        rows_ = other.rows_;
        description_ = other.description_;
        if (other.description_.bits == other.rows_.data()) {
            description_.bits = rows_.data();
        }
    }
    return *this;
}

bool CScreenImage::Decode(std::span<const std::uint8_t> received, bool border) {
    CaptureBytes bytes{};
    std::copy_n(received.begin(), std::min(received.size(), bytes.size()), bytes.begin());
    const bool parsed = ParseBands(bytes);
    BuildImage();
    if (border) {
        DrawBorder();
    }
    DescribeRows();
    return parsed;
}

bool CScreenImage::ParseBands(std::span<const std::uint8_t, kCaptureBufferSize> bytes) {
    bands_ = {};
    const auto end = bytes.end();
    auto p = std::find(bytes.begin(), end, kFullStop);
    if (p == end) {
        return false;
    }
    ++p;
    for (Band& band : bands_) {
        p = std::find(p, end, kBandCountLow);
        if (p == end) {
            return false;
        }
        // The count's two bytes (the high one is not checked), the band's columns and the line
        // feed after them must all lie inside the buffer.
        if (end - p < 2 + kBandColumns + 1) {
            return false;
        }
        p += 2;
        std::copy_n(p, kBandColumns, band.begin());
        p += kBandColumns;
        if (*p != kLineFeed) {
            return false;
        }
    }
    return true;
}

void CScreenImage::BuildImage() {
    for (int b = 0; b < kBandCount; ++b) {
        for (int dotLine = 0; dotLine < 8; ++dotLine) {
            PixelRow& row = rows_[static_cast<std::size_t>(8 * b + dotLine)];
            const unsigned dotMask = 0x80u >> dotLine;
            for (int byteIndex = 0; byteIndex < kRowBytes; ++byteIndex) {
                unsigned packed = 0;
                for (int bit = 0; bit < 8; ++bit) {
                    const std::uint8_t column =
                        bands_[static_cast<std::size_t>(b)]
                              [static_cast<std::size_t>(8 * byteIndex + bit)];
                    // A set dot is dark, and dark is a 0 bit in the picture.
                    if ((column & dotMask) == 0) {
                        packed |= 0x80u >> bit;
                    }
                }
                row[static_cast<std::size_t>(byteIndex)] = static_cast<std::uint8_t>(packed);
            }
        }
    }
}

void CScreenImage::DrawBorder() {
    rows_.front().fill(0);
    rows_.back().fill(0);
    for (std::size_t y = 1; y + 1 < rows_.size(); ++y) {
        rows_[y].front() &= 0x7F;
        rows_[y].back() &= 0xFE;
    }
}

void CScreenImage::DescribeRows() {
    description_.type = 0;
    description_.width = kScreenWidth;
    description_.height = kScreenHeight;
    description_.widthBytes = kRowBytes;
    description_.planes = 1;
    description_.bitsPixel = 1;
    description_.bits = rows_.data();
}

std::vector<std::uint8_t> EncodeMonochromeBitmap(std::int32_t width, std::int32_t height,
                                                 std::span<const std::uint8_t> rows) {
    const auto rowBytes = static_cast<std::size_t>(width / 8);
    const auto rowCount = static_cast<std::size_t>(height);
    std::vector<std::uint8_t> file(kBitmapHeaderSize + rowBytes * rowCount);
    std::uint8_t* out = file.data();
    // File header.
    out[0] = 'B';
    out[1] = 'M';
    PutLittleEndian<std::uint32_t>(out + 2, static_cast<std::uint32_t>(file.size()));
    PutLittleEndian<std::uint32_t>(out + 10, kBitmapHeaderSize);
    // Information header; compression, image size, resolution and colour counts stay zero.
    PutLittleEndian<std::uint32_t>(out + 14, 40);
    PutLittleEndian<std::int32_t>(out + 18, width);
    PutLittleEndian<std::int32_t>(out + 22, height);
    PutLittleEndian<std::uint16_t>(out + 26, 1);
    PutLittleEndian<std::uint16_t>(out + 28, 1);
    // Palette: entry 0 black, entry 1 white.
    std::fill_n(out + 58, 3, std::uint8_t{0xFF});
    // A positive height means bottom-up rows.
    for (std::size_t y = 0; y < rowCount && (y + 1) * rowBytes <= rows.size(); ++y) {
        std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(y * rowBytes), rowBytes,
                    out + kBitmapHeaderSize + (rowCount - 1 - y) * rowBytes);
    }
    return file;
}

BitmapFileBytes CScreenImage::EncodeBitmap() const {
    // The header takes the size from the description, which is 160 x 160 in every case that
    // arises; the rows are always the 160 one-bit rows.
    const auto encoded = EncodeMonochromeBitmap(
        description_.width, description_.height,
        std::span(reinterpret_cast<const std::uint8_t*>(rows_.data()), sizeof rows_));
    BitmapFileBytes file{};
    std::copy_n(encoded.begin(), std::min(encoded.size(), file.size()), file.begin());
    return file;
}

bool CScreenImage::SaveBitmapFile(const std::string& fileName, std::string* error,
                                  bool* heldOpen) const {
    const BitmapFileBytes bytes = EncodeBitmap();
    std::string ignored;
    return WriteFileAtomically(fileName, bytes, error != nullptr ? *error : ignored, heldOpen);
}

} // namespace krt460
