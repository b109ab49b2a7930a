#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace krt460 {

// One piece of a byte stream as the framer cut it.
struct FramedPiece {
    std::vector<std::uint8_t> bytes;
    bool endsAtMarker = false;
};

// Splits a continuous byte stream into prints, so that prints sent back to back come out whole,
// and a lost or stray byte, or a start in the middle of a print, costs at most the print it falls
// in.
//
// A print is read as the decoder reads it: a leading part up to the first full stop, then bands
// (the count byte 0xA0, one more byte, 160 columns, a line feed), then the end marker line feed,
// escape, "3". Only a marker outside the bands' columns, after a band, counts: the leading part
// may hold the same three bytes.
// - In step, a print is 3328 bytes. Its marker ends at byte 3327, or at 3326 and one more byte
//   belongs to it. Twenty intact bands without a marker end at byte 3328.
// - Out of step, the marker shows where a print ends. A marker before the twentieth band ends a
//   print that was joined late, or that lost a band. Bytes before the 3328 that end at a marker
//   are stray and become a piece of their own.
// - Where one byte too few or too many makes the length ambiguous (a byte lost from the leading
//   part or the marker, a stray byte first), the next print decides: it begins as this one did.
class CPrintFramer {
public:
    // Adds received bytes; returns the pieces that are complete now, oldest first.
    std::vector<FramedPiece> Feed(std::span<const std::uint8_t> bytes);

    // The line has been quiet for a while: a print that waits only for the bytes after its
    // marker, or for a marker that stray bytes might have delayed, ends now. Bytes of a print
    // under way stay: an instrument may pause within a print.
    std::vector<FramedPiece> Quiet();

    // The stream ends (a stall, a lost port, a stop): the pending bytes as one piece.
    std::optional<FramedPiece> Flush();

    // The pending bytes came with line errors: bytes may be missing, so their print is not taken
    // to be in step.
    void MarkDamaged() { damaged_ = true; }

    std::size_t Pending() const { return pending_.size(); }

private:
    std::vector<FramedPiece> CutPieces(bool quiet);

    std::vector<std::uint8_t> pending_;
    bool damaged_ = false;
    std::optional<std::array<std::uint8_t, 2>> lastStart_; // of the last whole print, in step
};

} // namespace krt460
