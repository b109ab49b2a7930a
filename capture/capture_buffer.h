#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace krt460 {

// Size of the process-wide receive store and of one instrument hardcopy.
inline constexpr std::size_t kCaptureBufferSize = 4096;
inline constexpr std::size_t kFrameLength = 3328;

using CaptureBytes = std::array<std::uint8_t, kCaptureBufferSize>;

// True when line feed, escape, "3" stand at offset 3324 or 3325 of `bytes` (which must hold at
// least 3328 bytes).
bool HasEndMarker(const std::uint8_t* bytes);

// The store for the bytes of one screen hardcopy as they arrive. The receive worker writes it
// while the UI thread may reset the count or read the bytes, so every field is atomic; relaxed
// byte accesses are enough because a reader only ever wants "whatever is there now".
class CCaptureBuffer {
public:
    CCaptureBuffer() = default;
    CCaptureBuffer(const CCaptureBuffer&) = delete;
    CCaptureBuffer& operator=(const CCaptureBuffer&) = delete;

    // The one instance shared by the receiver, the decoder and the windows.
    static CCaptureBuffer& Instance();

    void Reset() { count_.store(0); }

    // Stores one byte at the current count and advances it; true once the frame is complete.
    bool Store(std::uint8_t byte);

    std::uint16_t Count() const { return count_.load(); }

    // True when line feed, escape, "3" stand at offset 3324 or 3325.
    bool HasEndMarker() const;

    // A copy of all 4096 bytes as they are at this moment.
    CaptureBytes Bytes() const;

    // What a decoder may see: the bytes of this capture, the rest zero as in a fresh buffer, so
    // that a picture never mixes two prints. `count` gets the count they were taken at.
    CaptureBytes BytesOfThisCapture(std::size_t* count = nullptr) const;

private:
    std::uint8_t At(std::size_t index) const {
        return data_[index].load(std::memory_order_relaxed);
    }

    std::array<std::atomic<std::uint8_t>, kCaptureBufferSize> data_{};
    std::atomic<std::uint16_t> count_{0};
};

} // namespace krt460
