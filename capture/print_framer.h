#pragma once

#include "capture/print_template.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace krt460 {

enum class PieceKind {
    Print, // a whole print: 3328 bytes in the instrument's layout, its end marker in place but
           // from an instrument that sends none
    Piece, // what arrived of a print: cut short, damaged, or the rest of one joined late
    Stray, // bytes that begin like no print and hold no band: noise
};

// One piece of a byte stream as the framer cut it.
struct FramedPiece {
    std::vector<std::uint8_t> bytes;
    PieceKind kind = PieceKind::Piece;
};

// Splits a continuous byte stream into prints, so that prints sent back to back come out whole,
// and a lost or added byte, a print cut short and sent again, stray bytes, or a start in the
// middle of a print, cost at most the print they fall in. No byte is lost or invented: the
// pieces are the stream, in order.
//
// Prints are found by the instrument's template, learned from whole prints: everything but the
// column bytes is the same in every print, so 3328 bytes that match it are a print, wherever
// they begin. Bytes before such a print are a piece of their own, handed over with it.
// Before a template is known (the first print of a session, another instrument, a clock in the
// leading part), prints are read by their layout, and the line's pauses decide where they lie:
// the same bytes read as prints one byte further on just as well, and only where a burst ends
// tells which reading is right. A template is learned only from a print that both begins and
// ends at such a boundary. Prints of an instrument that sends no end marker are found only so:
// 3328 bytes whose bands read, from such a boundary to a pause.
class CPrintFramer {
public:
    explicit CPrintFramer(std::optional<PrintTemplate> learned = std::nullopt);

    // Adds received bytes; returns the pieces that are complete now, oldest first.
    std::vector<FramedPiece> Feed(std::span<const std::uint8_t> bytes);

    // The line has been quiet for a while. An instrument may pause within a print, so what is
    // under way stays; prints that end here come out, and a damaged print that has ended.
    std::vector<FramedPiece> Quiet();

    // The line has been silent for a byte's time, longer than the gaps between an adapter's
    // bursts: no byte is on its way. The last 3328 bytes, when they begin where something surely
    // began and read as a whole print, have ended, and come out as at a pause; all else waits
    // for one, as an instrument may pause within a print.
    std::vector<FramedPiece> Silent();

    // The stream ends (a stall, a lost port, a stop): everything pending comes out.
    std::vector<FramedPiece> Flush();

    // The bytes of the print under way (not those of a damaged piece before it).
    std::size_t Pending() const { return pending_.size() - underWayFrom_; }
    // How many bytes the print under way still lacks, as far as known: by the template, else
    // counted from the last pause. 0: it ends at a silence (Silent).
    std::optional<std::size_t> Lacking() const;
    // Whether any bytes wait to be handed out.
    bool Holding() const { return !pending_.empty(); }

    const std::optional<PrintTemplate>& Template() const { return template_; }

private:
    enum class Moment { Arriving, Quiet, End };
    std::vector<FramedPiece> Cut(Moment moment);
    bool EndsAtSilence() const;
    std::size_t FirstFit();
    bool TakeTemplatePrint(std::vector<FramedPiece>& out);
    bool TakeLayoutPrints(std::vector<FramedPiece>& out, Moment moment);
    bool TakeUnmarkedPrint(std::vector<FramedPiece>& out, Moment moment);
    bool TakeStrays(std::vector<FramedPiece>& out, Moment moment);
    bool TakeEndedPiece(std::vector<FramedPiece>& out);
    bool TakeMarkedPieces(std::vector<FramedPiece>& out);
    // Noise that ends at a pause within the first `length` bytes, as a piece of its own; how many
    // bytes.
    std::size_t EmitStrays(std::vector<FramedPiece>& out, std::size_t length);
    // The bytes before a print at `printAt`, as one piece (noise before a pause, and what arrived
    // of that print cut short just before it, apart).
    void EmitBefore(std::vector<FramedPiece>& out, std::size_t length, std::size_t printAt);
    void Emit(std::vector<FramedPiece>& out, std::size_t length, PieceKind kind);
    PieceKind Classify(std::span<const std::uint8_t> bytes) const;

    std::vector<std::uint8_t> pending_;
    std::optional<PrintTemplate> template_;
    std::size_t underWayFrom_ = 0;
    std::size_t firstFit_ = 0;   // no print under the template begins before it
    std::size_t fitChecked_ = 0; // how many bytes from firstFit_ are known to fit
    // Offsets in pending_ where the line paused (a pause before any byte is one at 0: a reader
    // that joins a stream mid-print gets bytes at once), and whether pending_ begins where a
    // whole print ended.
    std::vector<std::size_t> pauses_;
    bool beginsAtBoundary_ = false;
};

} // namespace krt460
