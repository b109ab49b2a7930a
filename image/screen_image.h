#pragma once

#include "capture/capture_buffer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace krt460 {

inline constexpr int kScreenWidth = 160;
inline constexpr int kScreenHeight = 160;
inline constexpr int kBandCount = 20;
inline constexpr int kBandColumns = 160;
inline constexpr int kRowBytes = kScreenWidth / 8;
inline constexpr std::size_t kBitmapFileSize = 3262;
inline constexpr std::size_t kBitmapHeaderSize = 62;

using Band = std::array<std::uint8_t, kBandColumns>;
using PixelRow = std::array<std::uint8_t, kRowBytes>;
using BitmapFileBytes = std::array<std::uint8_t, kBitmapFileSize>;

// A one-bit BMP file (palette: 0 black, 1 white) of `width` x `height` pixels; `rows` holds the
// rows top-down, width / 8 bytes each, the leftmost pixel in bit 7. `width` is a multiple of 32
// (160 times any scale), so rows need no padding. Rows are written bottom-up.
std::vector<std::uint8_t> EncodeMonochromeBitmap(std::int32_t width, std::int32_t height,
                                                 std::span<const std::uint8_t> rows);

// The fields of the platform's BITMAP record, kept as plain data so that the decoder and the
// file writer need no platform headers.
struct PictureDescription {
    std::int32_t type = 0;
    std::int32_t width = kScreenWidth;
    std::int32_t height = kScreenHeight;
    std::int32_t widthBytes = 0;
    std::uint16_t planes = 0;
    std::uint16_t bitsPixel = 0;
    const void* bits = nullptr;
};

// The instrument's screen: the twenty bands of a hardcopy and the 160 x 160 one-bit picture made
// from them. In rows, bit 7 of a byte is the leftmost pixel and a set bit is white.
class CScreenImage {
public:
    CScreenImage() = default;
    // A copy describes its own rows, never the rows of the image it was copied from.
    CScreenImage(const CScreenImage& other);
    CScreenImage& operator=(const CScreenImage& other);

    // The whole decode of Anzeigen: ParseBands, BuildImage, DrawBorder when `border`, and
    // DescribeRows, on received bytes read as a fresh capture buffer holding them (the bytes of
    // one print, or CCaptureBuffer::BytesOfThisCapture). The picture is made even when the parse
    // fails (from the bands it found); the result says whether the parse succeeded.
    bool Decode(std::span<const std::uint8_t> received, bool border);

    // Copies the twenty bands out of a hardcopy. False when a full stop, a band's count or a
    // band's closing line feed is missing; the bands not found are left empty (white), never
    // those of an earlier picture.
    bool ParseBands(std::span<const std::uint8_t, kCaptureBufferSize> bytes);

    void BuildImage();
    void DrawBorder();

    // Points the description at the one-bit rows, as after every decode.
    void DescribeRows();

    BitmapFileBytes EncodeBitmap() const;
    // True only when the whole file is in place; a failed write leaves no partial file and an
    // existing file as it was. `error` gets the system's reason; `heldOpen`, whether another
    // program held the file open (see WriteFileAtomically).
    bool SaveBitmapFile(const std::string& fileName, std::string* error = nullptr,
                        bool* heldOpen = nullptr) const;

    const std::array<Band, kBandCount>& Bands() const { return bands_; }
    const std::array<PixelRow, kScreenHeight>& Rows() const { return rows_; }
    std::array<PixelRow, kScreenHeight>& Rows() { return rows_; }
    const PictureDescription& Description() const { return description_; }
    PictureDescription& Description() { return description_; }

private:
    std::array<Band, kBandCount> bands_{};
    std::array<PixelRow, kScreenHeight> rows_{};
    PictureDescription description_{};
};

} // namespace krt460
