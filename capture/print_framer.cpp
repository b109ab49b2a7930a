#include "capture/print_framer.h"

#include "capture/capture_buffer.h"

#include <algorithm>
#include <iterator>

namespace krt460 {
namespace {

constexpr std::uint8_t kFullStop = 0x2E;
constexpr std::uint8_t kCountByte = 0xA0;
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::uint8_t kEscape = 0x1B;
constexpr std::uint8_t kThree = 0x33;
constexpr std::size_t kBands = 20;
// From a band's count byte to its line feed.
constexpr std::size_t kCountToLineFeed = 2 + 160;
// How far past byte 3328 the marker of a print may stand that stray bytes preceded. Small
// enough that the next print's leading part cannot be taken for it.
constexpr std::size_t kLateMarker = 8;
// A band's count, its columns and its line feed: fewer bytes hold nothing of a picture.
constexpr std::size_t kShortestPiece = 2 + 160 + 1;

// How many of a print's first bytes the next print is taken to begin with.
constexpr std::size_t kStartLength = 2;
using Start = std::array<std::uint8_t, kStartLength>;

bool StartsWith(std::span<const std::uint8_t> s, std::size_t at, const Start& start) {
    return at + kStartLength <= s.size() &&
           std::equal(start.begin(), start.end(), s.begin() + static_cast<std::ptrdiff_t>(at));
}

struct Marker {
    std::size_t end;         // just past the "3"
    std::size_t bandsBefore; // intact bands before it
    bool damagedBefore;      // a band before it lacked its line feed
};

struct Scan {
    std::vector<Marker> markers;
    std::optional<std::size_t> nextPrint; // where a print begins after a band, outside columns
    std::size_t bands = 0;
    bool damaged = false;
    bool bandOpen = false; // the bytes end inside a band
};

// Reads a piece as the decoder reads a print. `begins`: how a print begins, so that one that
// begins after a band of this piece shows where this piece ended.
Scan ScanPiece(std::span<const std::uint8_t> s, const std::optional<Start>& begins) {
    Scan scan;
    const std::size_t dot =
        static_cast<std::size_t>(std::find(s.begin(), s.end(), kFullStop) - s.begin());
    std::size_t pos = dot + 1;
    while (pos <= s.size()) {
        const std::size_t count = static_cast<std::size_t>(
            std::find(s.begin() + static_cast<std::ptrdiff_t>(pos), s.end(), kCountByte) -
            s.begin());
        // Between bands, and after the last: the only place a marker may stand, or a print
        // begin.
        for (std::size_t i = pos; scan.bands > 0 && i < count; ++i) {
            if (i + 2 < count && s[i] == kLineFeed && s[i + 1] == kEscape && s[i + 2] == kThree) {
                scan.markers.push_back({i + 3, scan.bands, scan.damaged});
            }
            if (!scan.nextPrint && begins && StartsWith(s, i, *begins)) {
                scan.nextPrint = i;
            }
        }
        if (count == s.size()) {
            break;
        }
        const std::size_t lineFeed = count + kCountToLineFeed;
        if (lineFeed >= s.size()) {
            scan.bandOpen = true;
            break;
        }
        if (s[lineFeed] == kLineFeed) {
            ++scan.bands;
            pos = lineFeed; // the band's line feed may begin the marker
        } else {
            scan.damaged = true;
            pos = count + 1; // that 0xA0 was no count: look again just after it
        }
    }
    return scan;
}

struct CutPlan {
    std::size_t stray = 0; // bytes before the print that belong to none
    std::size_t length = 0;
    bool atMarker = false;
    bool whole = false; // a whole print, begun where the last one ended
};

// Whether bytes at `next` begin as the print at `begin` began; nothing while they have not all
// come (false once the line is quiet).
std::optional<bool> BeginsLike(std::span<const std::uint8_t> s, std::size_t begin, std::size_t next,
                               bool quiet) {
    if (next + kStartLength > s.size()) {
        return quiet ? std::optional(false) : std::nullopt;
    }
    return std::equal(s.begin() + static_cast<std::ptrdiff_t>(begin),
                      s.begin() + static_cast<std::ptrdiff_t>(begin + kStartLength),
                      s.begin() + static_cast<std::ptrdiff_t>(next));
}

// Where a print of twenty intact bands ends whose marker ends at `markerEnd`: there, or one byte
// later (its marker at 3324). The length says which while the print is in step. Where a byte was
// lost from the leading part or the marker, or a stray byte came first, the length misleads;
// then the prints' beginnings decide, for a print begins as the one before it began: first the
// last print's beginning, else the next print's, once it has come.
std::optional<std::size_t> PrintEnd(std::span<const std::uint8_t> s, std::size_t markerEnd,
                                    const std::optional<Start>& lastStart, bool inStep,
                                    bool quiet) {
    const std::size_t byLength =
        inStep && markerEnd + 1 == kFrameLength ? markerEnd + 1 : markerEnd;
    if (markerEnd + 1 + kLateMarker < kFrameLength) {
        return byLength; // bytes were lost: nothing after the marker is this print's
    }
    bool beginsAsLast[2] = {false, false}; // ending at the marker, and one byte after it
    std::optional<bool> nextBeginsAlike[2];
    for (std::size_t after = 0; after < 2; ++after) {
        const std::size_t end = markerEnd + after;
        const std::size_t begin = end > kFrameLength ? end - kFrameLength : 0;
        beginsAsLast[after] = lastStart && StartsWith(s, begin, *lastStart);
        if (!lastStart) {
            nextBeginsAlike[after] = BeginsLike(s, begin, end, quiet);
        } else if (end + kStartLength <= s.size() || quiet) {
            nextBeginsAlike[after] = StartsWith(s, end, *lastStart);
        }
    }
    if (beginsAsLast[0] != beginsAsLast[1]) {
        return beginsAsLast[0] ? markerEnd : markerEnd + 1;
    }
    if (markerEnd > kFrameLength + kLateMarker) {
        return byLength; // many stray bytes first: they tell nothing of the next print
    }
    if (!nextBeginsAlike[0] || !nextBeginsAlike[1]) {
        return std::nullopt; // the next print's first bytes have not come yet
    }
    if (*nextBeginsAlike[0] != *nextBeginsAlike[1]) {
        return *nextBeginsAlike[0] ? markerEnd : markerEnd + 1;
    }
    return byLength;
}

// Whether bytes look like the beginning of a print: a leading part whose full stop comes before
// any band's count and any end marker.
bool BeginsAsPrint(std::span<const std::uint8_t> s) {
    const auto dot = std::find(s.begin(), s.end(), kFullStop);
    const std::uint8_t marker[] = {kLineFeed, kEscape, kThree};
    return dot < std::find(s.begin(), s.end(), kCountByte) &&
           std::search(s.begin(), dot, std::begin(marker), std::end(marker)) == dot;
}

std::optional<CutPlan> PlanCut(std::span<const std::uint8_t> s, bool lineDamage, bool quiet,
                               const std::optional<Start>& lastStart) {
    // How prints begin: as the last whole one did, else as this piece does if it begins as a
    // print rather than in the middle or at the end of one.
    std::optional<Start> begins = lastStart;
    if (!begins && s.size() >= kStartLength && BeginsAsPrint(s)) {
        std::copy_n(s.begin(), kStartLength, begins.emplace().begin());
    }
    const Scan scan = ScanPiece(s, begins);
    // A print that begins before any marker ends this piece: it was cut short, or it lost its
    // marker (twenty bands, 3328 bytes).
    if (scan.nextPrint &&
        (scan.markers.empty() || *scan.nextPrint + 3 < scan.markers.front().end)) {
        return CutPlan{0, *scan.nextPrint, false};
    }
    // Twenty intact bands and no marker by byte 3328, in a piece that begins as prints do: a
    // print without its marker, unless the marker comes a few bytes late.
    bool unmarkedWhole = false;
    const bool beginsAsPrint = lastStart ? StartsWith(s, 0, *lastStart) : BeginsAsPrint(s);
    if (s.size() >= kFrameLength && beginsAsPrint) {
        const Scan head = ScanPiece(s.first(kFrameLength), std::nullopt);
        unmarkedWhole = head.markers.empty() && head.bands == kBands && !head.damaged &&
                        !head.bandOpen && !lineDamage;
    }
    std::vector<Marker> markers;
    std::copy_if(
        scan.markers.begin(), scan.markers.end(), std::back_inserter(markers),
        [&](const Marker& m) { return !unmarkedWhole || m.end <= kFrameLength + kLateMarker; });
    if (markers.empty()) {
        if (unmarkedWhole && (quiet || s.size() >= kFrameLength + kLateMarker)) {
            // It ends where the next print begins, should the marker's bytes have been lost.
            for (std::size_t end = kFrameLength - 2; end < kFrameLength; ++end) {
                if (BeginsLike(s, 0, end, true).value_or(false)) {
                    return CutPlan{0, end, false};
                }
            }
            return CutPlan{0, kFrameLength, false};
        }
        if (s.size() >= 2 * kFrameLength) {
            // No print in sight (noise, a wrong baud rate): the oldest bytes go.
            return CutPlan{0, s.size() - kFrameLength, false};
        }
        return std::nullopt;
    }
    Marker chosen = markers.front();
    if (chosen.bandsBefore < kBands) {
        return CutPlan{0, chosen.end, true};
    }
    const bool inStep = chosen.bandsBefore == kBands && !chosen.damagedBefore && !lineDamage;
    if (inStep && chosen.end + 1 < kFrameLength) {
        // The same bytes early in the trailing part: the print's own marker may still follow.
        const auto own = std::find_if(markers.begin(), markers.end(), [](const Marker& m) {
            return m.end + 1 == kFrameLength || m.end == kFrameLength;
        });
        if (own != markers.end()) {
            chosen = *own;
        } else if (!quiet && s.size() < kFrameLength + kLateMarker) {
            return std::nullopt;
        }
    }
    std::optional<std::size_t> end = PrintEnd(s, chosen.end, lastStart, inStep, quiet);
    if (!end) {
        return std::nullopt;
    }
    if (*end > s.size()) {
        if (!quiet) {
            return std::nullopt; // the byte after the marker has not come yet
        }
        end = s.size();
    }
    const std::size_t stray = *end > kFrameLength ? *end - kFrameLength : 0;
    return CutPlan{stray, *end - stray, true, stray == 0 && *end == kFrameLength};
}

} // namespace

std::vector<FramedPiece> CPrintFramer::Feed(std::span<const std::uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return CutPieces(false);
}

std::vector<FramedPiece> CPrintFramer::Quiet() {
    std::vector<FramedPiece> pieces = CutPieces(true);
    // A few bytes that cannot begin a print, then silence: noise (the rest of a marker, a byte
    // as a cable is plugged in), which would put the next print out of step. A print's own
    // beginning stays, for an instrument may pause within a print.
    const std::span<const std::uint8_t> rest(pending_);
    const bool beginsPrint = lastStart_
                                 ? StartsWith(rest, 0, *lastStart_)
                                 : std::find(rest.begin(), rest.end(), kFullStop) != rest.end();
    if (!rest.empty() && rest.size() < kShortestPiece && !beginsPrint) {
        pieces.push_back(*Flush());
    }
    return pieces;
}

std::optional<FramedPiece> CPrintFramer::Flush() {
    damaged_ = false;
    if (pending_.empty()) {
        return std::nullopt;
    }
    FramedPiece piece{std::move(pending_), false};
    pending_.clear();
    return piece;
}

std::vector<FramedPiece> CPrintFramer::CutPieces(bool quiet) {
    std::vector<FramedPiece> pieces;
    while (const auto plan = PlanCut(pending_, damaged_, quiet, lastStart_)) {
        const auto begin = pending_.begin();
        if (plan->whole) {
            std::copy_n(begin, lastStart_.emplace().size(), lastStart_->begin());
        }
        const auto printBegin = begin + static_cast<std::ptrdiff_t>(plan->stray);
        const auto printEnd = printBegin + static_cast<std::ptrdiff_t>(plan->length);
        if (plan->stray > 0) {
            pieces.push_back({{begin, printBegin}, false});
        }
        pieces.push_back({{printBegin, printEnd}, plan->atMarker});
        pending_.erase(begin, printEnd);
        damaged_ = false;
    }
    return pieces;
}

} // namespace krt460
