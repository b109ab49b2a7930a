#include "capture/capture_buffer.h"

namespace krt460 {

CCaptureBuffer& CCaptureBuffer::Instance() {
    static CCaptureBuffer instance;
    return instance;
}

bool CCaptureBuffer::Store(std::uint8_t byte) {
    // Index and advance in one step: a Reset from another thread between a plain load and
    // store would otherwise be undone by the advance.
    std::uint16_t index = count_.load();
    do {
        if (index >= kCaptureBufferSize) {
            return true;
        }
    } while (!count_.compare_exchange_weak(index, static_cast<std::uint16_t>(index + 1)));
    data_[index].store(byte, std::memory_order_relaxed);
    return index + 1u >= kFrameLength;
}

bool CCaptureBuffer::HasEndMarker() const {
    if (At(3324) == 0x0A && At(3325) == 0x1B) {
        return At(3326) == 0x33;
    }
    return At(3325) == 0x0A && At(3326) == 0x1B && At(3327) == 0x33;
}

CaptureBytes CCaptureBuffer::Bytes() const {
    CaptureBytes copy;
    for (std::size_t i = 0; i < copy.size(); ++i) {
        copy[i] = At(i);
    }
    return copy;
}

} // namespace krt460
