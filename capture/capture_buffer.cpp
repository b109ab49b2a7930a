#include "capture/capture_buffer.h"

#include <algorithm>

namespace krt460 {

bool HasEndMarker(const std::uint8_t* bytes) {
    if (bytes[3324] == 0x0A && bytes[3325] == 0x1B) {
        return bytes[3326] == 0x33;
    }
    return bytes[3325] == 0x0A && bytes[3326] == 0x1B && bytes[3327] == 0x33;
}

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
    return krt460::HasEndMarker(Bytes().data());
}

CaptureBytes CCaptureBuffer::Bytes() const {
    CaptureBytes copy;
    for (std::size_t i = 0; i < copy.size(); ++i) {
        copy[i] = At(i);
    }
    return copy;
}

CaptureBytes CCaptureBuffer::BytesOfThisCapture(std::size_t* countTaken) const {
    // The count first: bytes a worker stores meanwhile lie beyond it and read as zero.
    const std::size_t count = Count();
    if (countTaken != nullptr) {
        *countTaken = count;
    }
    CaptureBytes bytes = Bytes();
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(count, bytes.size())),
              bytes.end(), 0);
    return bytes;
}

} // namespace krt460
