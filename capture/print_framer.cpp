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

struct Marker {
    std::size_t end;         // just past the "3"
    std::size_t bandsBefore; // intact bands before it
    bool damagedBefore;      // a band before it lacked its line feed
};

struct Scan {
    std::vector<Marker> markers;
    std::size_t bands = 0;
    bool damaged = false;
    bool bandOpen = false; // the bytes end inside a band
};

Scan ScanPiece(std::span<const std::uint8_t> s) {
    Scan scan;
    const std::size_t dot =
        static_cast<std::size_t>(std::find(s.begin(), s.end(), kFullStop) - s.begin());
    std::size_t pos = dot + 1;
    while (pos <= s.size()) {
        const std::size_t count = static_cast<std::size_t>(
            std::find(s.begin() + static_cast<std::ptrdiff_t>(pos), s.end(), kCountByte) -
            s.begin());
        // Between bands, and after the last: the only place a marker may stand.
        for (std::size_t i = pos; scan.bands > 0 && i + 2 < count; ++i) {
            if (s[i] == kLineFeed && s[i + 1] == kEscape && s[i + 2] == kThree) {
                scan.markers.push_back({i + 3, scan.bands, scan.damaged});
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
};

std::optional<CutPlan> PlanCut(std::span<const std::uint8_t> s, bool lineDamage, bool quiet,
                               std::optional<std::size_t>& bytesAfterMarker) {
    const Scan scan = ScanPiece(s);
    // Twenty intact bands and no marker by byte 3328: a print without its marker, unless the
    // marker comes a few bytes late.
    bool unmarkedWhole = false;
    if (s.size() >= kFrameLength) {
        const Scan head = ScanPiece(s.first(kFrameLength));
        unmarkedWhole = head.markers.empty() && head.bands == kBands && !head.damaged &&
                        !head.bandOpen && !lineDamage;
    }
    std::vector<Marker> markers;
    std::copy_if(
        scan.markers.begin(), scan.markers.end(), std::back_inserter(markers),
        [&](const Marker& m) { return !unmarkedWhole || m.end <= kFrameLength + kLateMarker; });
    if (markers.empty()) {
        if (unmarkedWhole && (quiet || s.size() >= kFrameLength + kLateMarker)) {
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
    const bool inStepSoFar = chosen.bandsBefore == kBands && !chosen.damagedBefore && !lineDamage;
    if (inStepSoFar && chosen.end < kFrameLength - 1) {
        // The same bytes early in the trailing part: the print's own marker may still follow.
        const auto own = std::find_if(markers.begin(), markers.end(), [](const Marker& m) {
            return m.end == kFrameLength - 1 || m.end == kFrameLength;
        });
        if (own != markers.end()) {
            chosen = *own;
        } else if (!quiet && s.size() < kFrameLength + kLateMarker) {
            return std::nullopt;
        }
    }
    const std::size_t after =
        bytesAfterMarker.value_or(inStepSoFar && chosen.end == kFrameLength - 1 ? 1 : 0);
    std::size_t end = chosen.end + after;
    if (end > s.size()) {
        if (!quiet) {
            return std::nullopt;
        }
        end = s.size(); // the byte after the marker never came
    }
    if (inStepSoFar && end == kFrameLength && !bytesAfterMarker) {
        bytesAfterMarker = after;
    }
    const std::size_t stray = end > kFrameLength ? end - kFrameLength : 0;
    return CutPlan{stray, end - stray, true};
}

} // namespace

std::vector<FramedPiece> CPrintFramer::Feed(std::span<const std::uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return CutPieces(false);
}

std::vector<FramedPiece> CPrintFramer::Quiet() {
    return CutPieces(true);
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
    while (const auto plan = PlanCut(pending_, damaged_, quiet, bytesAfterMarker_)) {
        const auto begin = pending_.begin();
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
