// Store, decode and border arbitrary bytes: nothing may read outside the buffer, and every
// picture must come out with its black ring. Cut arbitrary bytes into prints: nothing is lost.
#include "capture/print_framer.h"
#include "image/screen_image.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace krt460;
    auto capture = std::make_unique<CCaptureBuffer>();
    capture->Reset();
    for (std::size_t i = 0; i < size && !capture->Store(data[i]); ++i) {
    }
    (void)capture->HasEndMarker();

    CScreenImage image;
    // The whole 4096 bytes too, which a store never fills beyond the frame.
    CaptureBytes whole{};
    std::copy_n(data, std::min(size, whole.size()), whole.begin());
    (void)image.ParseBands(whole);
    (void)image.Decode(capture->BytesOfThisCapture(), true);
    const BitmapFileBytes file = image.EncodeBitmap();
    for (std::size_t row = 0; row < kScreenHeight; ++row) {
        const std::uint8_t* pixels = file.data() + kBitmapHeaderSize + row * kRowBytes;
        const bool edgeRow = row == 0 || row == kScreenHeight - 1;
        if ((pixels[0] & 0x80) != 0 || (pixels[kRowBytes - 1] & 0x01) != 0 ||
            (edgeRow && pixels[kRowBytes / 2] != 0)) {
            std::abort();
        }
    }

    // The framer loses and invents nothing: its pieces and what the end of the stream flushes
    // are the stream again, in order, whatever the chunks and pauses; a whole print's bands read.
    CPrintFramer framer;
    std::vector<std::uint8_t> again;
    const auto keep = [&](std::vector<FramedPiece> pieces) {
        for (const FramedPiece& piece : pieces) {
            if (piece.kind == PieceKind::Print &&
                (piece.bytes.size() != kFrameLength || !HoldsAllBands(piece.bytes))) {
                std::abort();
            }
            again.insert(again.end(), piece.bytes.begin(), piece.bytes.end());
        }
    };
    for (std::size_t at = 0, chunk = 1; at < size; at += chunk, chunk = chunk % 97 + 1) {
        keep(framer.Feed(std::span(data + at, std::min(chunk, size - at))));
        if (chunk == 50) {
            keep(framer.Quiet());
        }
    }
    keep(framer.Quiet());
    keep(framer.Flush());
    if (again.size() != size || !std::equal(again.begin(), again.end(), data)) {
        std::abort();
    }
    return 0;
}
