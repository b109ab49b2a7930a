#include "capture/capture_buffer.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <initializer_list>
#include <memory>

namespace krt460 {
namespace {

// Stores `frame` after a Reset, as a receiver does, and returns how many Stores reported done.
int StoreFrame(CCaptureBuffer& buffer, const std::array<std::uint8_t, kFrameLength>& frame) {
    buffer.Reset();
    int done = 0;
    for (const std::uint8_t byte : frame) {
        done += buffer.Store(byte) ? 1 : 0;
    }
    return done;
}

// A frame is complete at its 3328th byte and what lies beyond stays zero. A new capture
// overwrites from the start: a decoder sees only its bytes, never the tail of the print before,
// while the buffer keeps the rest. A Store past the buffer writes nothing and never wraps.
TEST(CaptureBuffer, StoresFromTheStartAndShowsOnlyThisCapture) {
    auto buffer = std::make_unique<CCaptureBuffer>();
    std::array<std::uint8_t, kFrameLength> frame;
    frame.fill(0x55);
    EXPECT_EQ(StoreFrame(*buffer, frame), 1);
    CaptureBytes stored{};
    std::fill_n(stored.begin(), kFrameLength, 0x55);
    EXPECT_EQ(buffer->Bytes(), stored);
    buffer->Reset();
    EXPECT_EQ(buffer->BytesOfThisCapture(), CaptureBytes{}) << "nothing of a new print yet";
    buffer->Store(9);
    EXPECT_EQ(buffer->BytesOfThisCapture(), CaptureBytes{9});
    EXPECT_EQ(buffer->Bytes()[1], 0x55); // the buffer itself keeps what it had
    for (int i = 0; i < 70000; ++i) {
        buffer->Store(0x22);
    }
    EXPECT_EQ(buffer->Count(), kCaptureBufferSize);
    EXPECT_EQ(buffer->Bytes()[0], 9);
}

TEST(CaptureBuffer, EndMarkerVerdict) {
    const struct {
        const char* name;
        std::size_t offset;
        std::initializer_list<std::uint8_t> bytes;
        bool expected;
    } cases[] = {
        {"marker at 3324", 3324, {0x0A, 0x1B, 0x33, 0x00}, true},
        {"marker at 3325", 3324, {0x00, 0x0A, 0x1B, 0x33}, true},
        {"line feed before marker at 3325", 3324, {0x0A, 0x0A, 0x1B, 0x33}, true},
        {"near miss at 3324 hides a marker at 3325", 3324, {0x0A, 0x1B, 0x34, 0x33}, false},
        {"near miss at 3324", 3324, {0x0A, 0x1B, 0x34, 0x00}, false},
        {"marker one byte early", 3323, {0x0A, 0x1B, 0x33, 0x00, 0x00}, false},
        {"marker cut at the frame end", 3326, {0x0A, 0x1B}, false},
        {"nothing received", 0, {}, false},
    };
    for (const auto& c : cases) {
        auto buffer = std::make_unique<CCaptureBuffer>();
        std::array<std::uint8_t, kFrameLength> frame{};
        std::copy(c.bytes.begin(), c.bytes.end(), frame.begin() + static_cast<long>(c.offset));
        StoreFrame(*buffer, frame);
        EXPECT_EQ(buffer->HasEndMarker(), c.expected) << c.name;
    }
}

} // namespace
} // namespace krt460
