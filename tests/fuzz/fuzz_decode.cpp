// Store, decode and border arbitrary bytes: nothing may read outside the buffer, and every
// picture must come out with its black ring.
#include "image/screen_image.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

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
    (void)image.Decode(*capture, true);
    const BitmapFileBytes file = image.EncodeBitmap();
    for (std::size_t row = 0; row < kScreenHeight; ++row) {
        const std::uint8_t* pixels = file.data() + kBitmapHeaderSize + row * kRowBytes;
        const bool edgeRow = row == 0 || row == kScreenHeight - 1;
        if ((pixels[0] & 0x80) != 0 || (pixels[kRowBytes - 1] & 0x01) != 0 ||
            (edgeRow && pixels[kRowBytes / 2] != 0)) {
            std::abort();
        }
    }
    return 0;
}
