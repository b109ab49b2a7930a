#pragma once

#include "capture/capture_buffer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace krt460 {

// Framing, parity and overrun errors and breaks the port saw, as the driver counts them. A
// pseudo-terminal counts none: `known` is false there.
struct LineErrors {
    bool known = false;
    unsigned framing = 0;
    unsigned parity = 0;
    unsigned overrun = 0;
    unsigned breaks = 0;

    unsigned Total() const { return framing + parity + overrun + breaks; }
    LineErrors& operator+=(const LineErrors& more) {
        known = known || more.known;
        framing += more.framing;
        parity += more.parity;
        overrun += more.overrun;
        breaks += more.breaks;
        return *this;
    }
};

// How the bytes of a print stopped coming.
enum class CaptureEnd {
    Complete, // the print is all there: 3328 bytes, or cut where the stream shows it ended
    Stalled,  // no byte came for the stall timeout
    PortLost, // the device went away (adapter unplugged, line hung up)
    Stopped,  // the owner stopped the capture
};

// What one capture produced, handed from the receive worker to its owner as one value.
struct Print {
    std::vector<std::uint8_t> bytes; // only what arrived: a decoder never sees older bytes
    bool hasEndMarker = false;       // the end marker verdict
    CaptureEnd end = CaptureEnd::Complete;
    LineErrors lineErrors; // read with these bytes
    unsigned capture = 0;  // which start of the receiver it belongs to
    bool stray = false;    // bytes that began like no print and held no band: noise
    std::chrono::system_clock::time_point lastByteAt{}; // when its last byte came

    // The instrument's whole hardcopy: 3328 bytes with their end marker.
    bool IsWhole() const { return bytes.size() == kFrameLength && hasEndMarker; }
};

} // namespace krt460
