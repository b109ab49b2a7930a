#include "capture/print_template.h"

#include <algorithm>
#include <iterator>

namespace krt460 {
namespace {

constexpr std::uint8_t kFullStop = 0x2E;
constexpr std::uint8_t kCountByte = 0xA0;
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::uint8_t kEscape = 0x1B;
constexpr std::uint8_t kThree = 0x33;
constexpr std::uint8_t kMarker[] = {kLineFeed, kEscape, kThree};
constexpr std::size_t kColumns = 160;
// From a band's count byte to its first column, and to its line feed.
constexpr std::size_t kCountToColumns = 2;
constexpr std::size_t kCountToLineFeed = kCountToColumns + kColumns;

// Where each band's count byte stands in the first 3328 bytes, read as the decoder reads them.
std::optional<std::array<std::uint16_t, kPrintBands>>
ReadBands(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kFrameLength) {
        return std::nullopt;
    }
    const auto begin = bytes.begin();
    const auto end = begin + kFrameLength;
    std::array<std::uint16_t, kPrintBands> counts{};
    auto at = std::find(begin, end, kFullStop);
    for (std::uint16_t& count : counts) {
        at = std::find(at == end ? end : at + 1, end, kCountByte);
        const auto offset = static_cast<std::size_t>(at - begin);
        if (at == end || offset + kCountToLineFeed >= kFrameLength ||
            bytes[offset + kCountToLineFeed] != kLineFeed) {
            return std::nullopt;
        }
        count = static_cast<std::uint16_t>(offset);
        at = begin + static_cast<std::ptrdiff_t>(offset + kCountToLineFeed - 1);
    }
    return counts;
}

} // namespace

std::optional<PrintLayout> ReadPrintLayout(std::span<const std::uint8_t> bytes) {
    const auto counts = ReadBands(bytes);
    if (!counts || !HasEndMarker(bytes.data())) {
        return std::nullopt;
    }
    PrintLayout layout{*counts,
                       static_cast<std::uint16_t>(
                           bytes[3324] == kLineFeed && bytes[3325] == kEscape ? 3324 : 3325)};
    // The marker follows the last band's columns; its line feed may be that band's own.
    if (layout.marker < layout.counts.back() + kCountToLineFeed) {
        return std::nullopt;
    }
    return layout;
}

bool HoldsAllBands(std::span<const std::uint8_t> bytes) {
    return ReadBands(bytes).has_value();
}

PrintTemplate::PrintTemplate(std::span<const std::uint8_t> print, const PrintLayout& layout)
    : layout_(layout) {
    std::copy_n(print.begin(), kFrameLength, bytes_.begin());
    FixAllButColumns();
}

void PrintTemplate::FixAllButColumns() {
    fixed_.clear();
    std::size_t offset = 0;
    for (const std::uint16_t count : layout_.counts) {
        for (; offset < count + kCountToColumns; ++offset) {
            fixed_.push_back(static_cast<std::uint16_t>(offset));
        }
        offset = count + kCountToLineFeed;
    }
    for (; offset < kFrameLength; ++offset) {
        fixed_.push_back(static_cast<std::uint16_t>(offset));
    }
}

void PrintTemplate::Learn(std::span<const std::uint8_t> print, const PrintLayout& layout) {
    if (layout != layout_) {
        *this = PrintTemplate(print, layout);
        return;
    }
    std::erase_if(fixed_, [&](std::uint16_t offset) { return print[offset] != bytes_[offset]; });
}

PrintTemplate::Fit PrintTemplate::Match(std::span<const std::uint8_t> bytes,
                                        std::size_t from) const {
    const std::size_t length = std::min(bytes.size(), kFrameLength);
    for (auto offset = std::lower_bound(fixed_.begin(), fixed_.end(), from);
         offset != fixed_.end() && *offset < length; ++offset) {
        if (bytes[*offset] != bytes_[*offset]) {
            return Fit::No;
        }
    }
    return length == kFrameLength ? Fit::Whole : Fit::SoFar;
}

bool PrintTemplate::BeginsLike(std::span<const std::uint8_t> bytes) const {
    const std::size_t head =
        std::min<std::size_t>(bytes.size(), layout_.counts.front() + kCountToColumns);
    return !bytes.empty() && Match(bytes.first(head)) != Fit::No;
}

bool PrintTemplate::EndsLike(std::span<const std::uint8_t> bytes) const {
    const std::size_t tailStart = layout_.counts.back() + kCountToLineFeed;
    const std::size_t tail = kFrameLength - tailStart;
    if (bytes.size() < tail) {
        return false;
    }
    const std::span<const std::uint8_t> end = bytes.last(tail);
    return std::all_of(
        std::lower_bound(fixed_.begin(), fixed_.end(), tailStart), fixed_.end(),
        [&](std::uint16_t offset) { return end[offset - tailStart] == bytes_[offset]; });
}

bool PrintTemplate::TrailingByteVaries() const {
    return layout_.marker == 3324 &&
           !std::binary_search(fixed_.begin(), fixed_.end(), std::uint16_t{kFrameLength - 1});
}

bool BeginsLikeLeadingPart(std::span<const std::uint8_t> bytes) {
    const auto dot = std::find(bytes.begin(), bytes.end(), kFullStop);
    return dot != bytes.end() && dot < std::find(bytes.begin(), bytes.end(), kCountByte) &&
           std::search(bytes.begin(), dot, std::begin(kMarker), std::end(kMarker)) == dot;
}

bool HoldsABand(std::span<const std::uint8_t> bytes) {
    for (std::size_t at = 0; at + kCountToLineFeed < bytes.size(); ++at) {
        if (bytes[at] == kCountByte && bytes[at + kCountToLineFeed] == kLineFeed) {
            return true;
        }
    }
    return false;
}

} // namespace krt460
