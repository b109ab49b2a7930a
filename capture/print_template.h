#pragma once

#include "capture/capture_buffer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace krt460 {

inline constexpr std::size_t kPrintBands = 20;

// Where the parts of a whole print lie, read as the decoder reads it: a leading part up to its
// first full stop, twenty bands (the count byte 0xA0, one more byte, 160 columns, a line feed),
// and the end marker line feed, escape, "3" at 3324 or 3325, after the last band's columns.
struct PrintLayout {
    std::array<std::uint16_t, kPrintBands> counts{}; // where each band's 0xA0 stands
    std::uint16_t marker = 0;                        // 3324 or 3325

    bool operator==(const PrintLayout&) const = default;
};

// The layout of the first 3328 bytes, or nothing when they are not one whole print.
std::optional<PrintLayout> ReadPrintLayout(std::span<const std::uint8_t> bytes);
// Whether the first 3328 bytes hold a full stop and twenty bands after it, marker or not.
bool HoldsAllBands(std::span<const std::uint8_t> bytes);

// What an instrument sends around the columns of its prints: its leading part, the bytes before
// each band's count, the tail. Learned from whole prints, it finds prints in a stream by exact
// alignment, with the column bytes as the only unknowns, so that a print is told from the rest of
// one cut short, from stray bytes, or from the same print one byte further on.
class PrintTemplate {
public:
    PrintTemplate(std::span<const std::uint8_t> print, const PrintLayout& layout);

    enum class Fit {
        Whole, // 3328 bytes, every one the instrument always sends in its place
        SoFar, // fewer bytes, all of them in place: a print under way
        No,
    };
    // How bytes from the start of `bytes` fit a print. `from`: the bytes before this offset are
    // known to fit already.
    Fit Match(std::span<const std::uint8_t> bytes, std::size_t from = 0) const;

    // Whether `bytes` begin as a print begins: the bytes before the first band's columns.
    bool BeginsLike(std::span<const std::uint8_t> bytes) const;
    // Whether `bytes` end as a print ends: the bytes after the last band's columns.
    bool EndsLike(std::span<const std::uint8_t> bytes) const;

    // Takes in another whole print. Of the same layout, a byte that differs between them (a
    // clock in the leading part) is no longer taken to be fixed; another layout (another
    // instrument) replaces what was learned.
    void Learn(std::span<const std::uint8_t> print, const PrintLayout& layout);

    const PrintLayout& Layout() const { return layout_; }
    // Whether the byte after a marker at 3324 varies from print to print.
    bool TrailingByteVaries() const;

private:
    void FixAllButColumns();

    std::array<std::uint8_t, kFrameLength> bytes_{};
    std::vector<std::uint16_t> fixed_; // the offsets whose bytes never vary, ascending
    PrintLayout layout_;
};

// Without a template: whether bytes begin as a leading part, a full stop before any band's count
// and before any end marker.
bool BeginsLikeLeadingPart(std::span<const std::uint8_t> bytes);

// Whether the bytes hold at least one band: a count byte, one more, 160 columns, a line feed.
bool HoldsABand(std::span<const std::uint8_t> bytes);

} // namespace krt460
