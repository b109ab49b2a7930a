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

// A frame is complete at its 3328th byte; what lies beyond stays zero, a new capture overwrites
// from the start and keeps the rest, and a Store past the buffer writes nothing and never wraps.
TEST(CaptureBuffer, StoresFromTheStartUpToTheBufferEnd) {
    auto buffer = std::make_unique<CCaptureBuffer>();
    std::array<std::uint8_t, kFrameLength> frame;
    frame.fill(0x55);
    EXPECT_EQ(StoreFrame(*buffer, frame), 1);
    const CaptureBytes bytes = buffer->Bytes();
    EXPECT_EQ(bytes[kFrameLength - 1], 0x55);
    EXPECT_TRUE(
        std::all_of(bytes.begin() + kFrameLength, bytes.end(), [](auto b) { return b == 0; }));
    buffer->Reset();
    buffer->Store(9);
    EXPECT_EQ(buffer->Bytes()[0], 9);
    EXPECT_EQ(buffer->Bytes()[1], 0x55);
    for (int i = 0; i < 70000; ++i) {
        buffer->Store(0x22);
    }
    EXPECT_EQ(buffer->Count(), kCaptureBufferSize);
    EXPECT_EQ(buffer->Bytes()[0], 9);
}

// A capture shows only its own bytes: never the tail of the print before it.
TEST(CaptureBuffer, ADecoderSeesOnlyTheBytesOfThisCapture) {
    auto buffer = std::make_unique<CCaptureBuffer>();
    std::array<std::uint8_t, kFrameLength> first;
    first.fill(0x55);
    StoreFrame(*buffer, first);
    buffer->Reset();
    EXPECT_EQ(buffer->BytesOfThisCapture(), CaptureBytes{}) << "nothing of a new print yet";
    buffer->Store(0x77);
    const CaptureBytes seen = buffer->BytesOfThisCapture();
    EXPECT_TRUE(seen[0] == 0x77 &&
                std::all_of(seen.begin() + 1, seen.end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(buffer->Bytes()[1], 0x55); // the buffer itself keeps what it had
}

struct MarkerCase {
    const char* name;
    std::size_t offset;
    std::initializer_list<std::uint8_t> bytes;
    bool expected;
};

TEST(CaptureBuffer, EndMarkerVerdict) {
    const MarkerCase cases[] = {
        {"marker at 3324", 3324, {0x0A, 0x1B, 0x33, 0x00}, true},
        {"marker at 3325", 3324, {0x00, 0x0A, 0x1B, 0x33}, true},
        {"line feed before marker at 3325", 3324, {0x0A, 0x0A, 0x1B, 0x33}, true},
        {"near miss at 3324 hides a marker at 3325", 3324, {0x0A, 0x1B, 0x34, 0x33}, false},
        {"near miss at 3324", 3324, {0x0A, 0x1B, 0x34, 0x00}, false},
        {"marker one byte early", 3323, {0x0A, 0x1B, 0x33, 0x00, 0x00}, false},
        {"marker cut at the frame end", 3326, {0x0A, 0x1B}, false},
        {"nothing received", 0, {}, false},
    };
    for (const MarkerCase& c : cases) {
        auto buffer = std::make_unique<CCaptureBuffer>();
        std::array<std::uint8_t, kFrameLength> frame{};
        std::copy(c.bytes.begin(), c.bytes.end(), frame.begin() + static_cast<long>(c.offset));
        StoreFrame(*buffer, frame);
        EXPECT_EQ(buffer->HasEndMarker(), c.expected) << c.name;
    }
}

} // namespace
} // namespace krt460
