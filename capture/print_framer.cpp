#include "capture/print_framer.h"

#include <algorithm>
#include <iterator>
#include <tuple>

namespace krt460 {
namespace {

constexpr std::uint8_t kMarker[] = {0x0A, 0x1B, 0x33};
// How much a burst without a pause may hold before prints are read from it as they stand, and
// before bytes in which no print begins are let go: eight prints.
constexpr std::size_t kBurstLimit = 8 * kFrameLength;

struct Candidate {
    std::size_t at;
    PrintLayout layout;
    std::size_t kind = 0; // candidates of one kind agree in every byte around the columns
};

// Every place in `bytes` where a whole print reads by its layout: a marker at 3324 or 3325 of
// 3328 bytes that hold twenty bands.
std::vector<Candidate> LayoutCandidates(std::span<const std::uint8_t> bytes) {
    std::vector<Candidate> found;
    for (auto marker = bytes.begin();
         (marker = std::search(marker, bytes.end(), std::begin(kMarker), std::end(kMarker))) !=
         bytes.end();
         ++marker) {
        const auto offset = static_cast<std::size_t>(marker - bytes.begin());
        for (const std::size_t markerAt : {std::size_t{3325}, std::size_t{3324}}) {
            if (offset < markerAt || offset - markerAt + kFrameLength > bytes.size()) {
                continue;
            }
            const std::size_t at = offset - markerAt;
            if (const auto layout = ReadPrintLayout(bytes.subspan(at))) {
                found.push_back({at, *layout});
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Candidate& a, const Candidate& b) { return a.at < b.at; });
    std::vector<PrintTemplate> kinds;
    for (Candidate& candidate : found) {
        const std::span<const std::uint8_t> print = bytes.subspan(candidate.at, kFrameLength);
        const auto same = std::find_if(kinds.begin(), kinds.end(), [&](const PrintTemplate& kind) {
            return kind.Layout() == candidate.layout &&
                   kind.Match(print) == PrintTemplate::Fit::Whole;
        });
        candidate.kind = static_cast<std::size_t>(same - kinds.begin());
        if (same == kinds.end()) {
            kinds.emplace_back(print, candidate.layout);
        }
    }
    return found;
}

// How to read a burst: the reading whose prints begin as a damaged print began where something
// surely began; then the one with most prints alike in every byte around their columns (an
// instrument's prints are); of those, the one with most whole prints, then the one whose prints
// most often begin or end where the line paused, then the one whose prints end there, then the one
// that begins earliest. The same bytes read as prints one byte further on just as well, so only a
// pause, or how the other prints read, tells the readings apart.
struct Reading {
    bool begun = false;
    std::size_t alike = 0;
    std::size_t count = 0;
    std::size_t atPauses = 0;
    std::size_t endingAtPauses = 0;
    std::vector<std::size_t> chosen; // indices into the candidates

    auto Rank() const { return std::tie(begun, alike, count, atPauses, endingAtPauses); }
};

struct Boundaries {
    const std::vector<std::size_t>& pauses;
    bool atStart; // the bytes begin where something surely began

    bool Begins(std::size_t at) const {
        return (at == 0 && atStart) || std::binary_search(pauses.begin(), pauses.end(), at);
    }
    bool Ends(std::size_t at) const {
        return std::binary_search(pauses.begin(), pauses.end(), at + kFrameLength);
    }
    // Whether a print like `print` begins at a boundary though none reads whole there: the bytes
    // before its first band's columns stand there. Prints whose marker is at 3324 read as well
    // one byte earlier, the marker at 3325 and the last print's byte after its marker first; in a
    // long burst after a damaged print only where that print began tells the two apart.
    bool HeadBegins(std::span<const std::uint8_t> bytes, const std::vector<Candidate>& candidates,
                    const Candidate& print) const {
        const std::size_t head = print.layout.counts.front() + 2u;
        const auto begins = [&](std::size_t at) {
            return at + head <= bytes.size() &&
                   std::none_of(candidates.begin(), candidates.end(),
                                [&](const Candidate& c) { return c.at == at; }) &&
                   std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                              bytes.begin() + static_cast<std::ptrdiff_t>(at + head),
                              bytes.begin() + static_cast<std::ptrdiff_t>(print.at));
        };
        return (atStart && begins(0)) || std::any_of(pauses.begin(), pauses.end(), begins);
    }
};

Reading ReadingAlike(const std::vector<Candidate>& candidates, const Boundaries& boundaries,
                     std::size_t kind) {
    struct Best {
        Reading value;
        bool take = false;
        std::size_t next = 0;
    };
    const std::size_t n = candidates.size();
    std::vector<Best> best(n + 1);
    for (std::size_t i = n; i-- > 0;) {
        const Candidate& candidate = candidates[i];
        const std::size_t next = static_cast<std::size_t>(
            std::lower_bound(candidates.begin() + static_cast<std::ptrdiff_t>(i), candidates.end(),
                             candidate.at + kFrameLength,
                             [](const Candidate& c, std::size_t at) { return c.at < at; }) -
            candidates.begin());
        const Reading& after = best[next].value;
        const bool ends = boundaries.Ends(candidate.at);
        Best take{{false,
                   after.alike + (candidate.kind == kind ? 1 : 0),
                   after.count + 1,
                   after.atPauses + (boundaries.Begins(candidate.at) ? 1 : 0) + (ends ? 1 : 0),
                   after.endingAtPauses + (ends ? 1 : 0),
                   {}},
                  true,
                  next};
        best[i] = take.value.Rank() >= best[i + 1].value.Rank() ? take
                                                                : Best{best[i + 1].value, false, 0};
    }
    Reading reading = best[0].value;
    for (std::size_t i = 0; i < n;) {
        if (best[i].take) {
            reading.chosen.push_back(i);
            i = best[i].next;
        } else {
            ++i;
        }
    }
    return reading;
}

Reading BestReading(std::span<const std::uint8_t> bytes, const std::vector<Candidate>& candidates,
                    const Boundaries& boundaries) {
    Reading best;
    std::size_t kinds = 0;
    for (const Candidate& candidate : candidates) {
        kinds = std::max(kinds, candidate.kind + 1);
    }
    for (std::size_t kind = 0; kind < kinds; ++kind) {
        Reading reading = ReadingAlike(candidates, boundaries, kind);
        reading.begun = boundaries.HeadBegins(
            bytes, candidates,
            *std::find_if(candidates.begin(), candidates.end(),
                          [&](const Candidate& c) { return c.kind == kind; }));
        if (reading.Rank() > best.Rank()) {
            best = std::move(reading);
        }
    }
    return best;
}

} // namespace

CPrintFramer::CPrintFramer(std::optional<PrintTemplate> learned) : template_(std::move(learned)) {}

std::vector<FramedPiece> CPrintFramer::Feed(std::span<const std::uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return Cut(Moment::Arriving);
}

std::vector<FramedPiece> CPrintFramer::Quiet() {
    if (pauses_.empty() || pauses_.back() != pending_.size()) {
        pauses_.push_back(pending_.size());
    }
    return Cut(Moment::Quiet);
}

std::vector<FramedPiece> CPrintFramer::Silent() {
    return EndsAtSilence() ? Quiet() : std::vector<FramedPiece>{};
}

bool CPrintFramer::EndsAtSilence() const {
    const std::size_t at = pending_.size() - std::min(pending_.size(), kFrameLength);
    return pending_.size() >= kFrameLength && Boundaries{pauses_, beginsAtBoundary_}.Begins(at) &&
           ReadPrintLayout(std::span(pending_).subspan(at));
}

std::optional<std::size_t> CPrintFramer::Lacking() const {
    if (template_ && Pending() > 0) {
        return kFrameLength - Pending();
    }
    const std::size_t since = pending_.size() - (pauses_.empty() ? 0 : pauses_.back());
    if (since < kFrameLength) {
        return kFrameLength - since; // a print from the last pause on
    }
    return EndsAtSilence() ? std::optional<std::size_t>(0) : std::nullopt;
}

std::vector<FramedPiece> CPrintFramer::Flush() {
    return Cut(Moment::End);
}

std::vector<FramedPiece> CPrintFramer::Cut(Moment moment) {
    std::vector<FramedPiece> out;
    for (;;) {
        if (template_ && TakeTemplatePrint(out)) {
            continue;
        }
        if ((moment != Moment::Arriving || pending_.size() >= kBurstLimit) &&
            TakeLayoutPrints(out, moment)) {
            continue;
        }
        if (moment != Moment::Arriving && !template_ && TakeUnmarkedPrint(out, moment)) {
            continue;
        }
        if (TakeStrays(out, moment)) {
            continue;
        }
        if (moment == Moment::Quiet && (template_ ? TakeEndedPiece(out) : TakeMarkedPieces(out))) {
            continue;
        }
        if (pending_.size() >= kBurstLimit) {
            // No print in sight (noise, a wrong baud rate): the oldest bytes go.
            const std::size_t old = pending_.size() - kFrameLength;
            Emit(out, old, Classify(std::span(pending_).first(old)));
            continue;
        }
        break;
    }
    if (moment == Moment::End && !pending_.empty()) {
        Emit(out, pending_.size(), Classify(pending_));
    }
    underWayFrom_ = template_ ? FirstFit() : 0;
    return out;
}

std::size_t CPrintFramer::FirstFit() {
    // Bytes that do not fit the template at some offset never will, however many follow; those
    // that fit need only their new bytes compared.
    const std::span<const std::uint8_t> bytes(pending_);
    for (; firstFit_ < bytes.size(); ++firstFit_, fitChecked_ = 0) {
        const std::span<const std::uint8_t> rest = bytes.subspan(firstFit_);
        if (template_->Match(rest, fitChecked_) != PrintTemplate::Fit::No) {
            fitChecked_ = std::min(rest.size(), kFrameLength);
            break;
        }
    }
    return firstFit_;
}

bool CPrintFramer::TakeTemplatePrint(std::vector<FramedPiece>& out) {
    // The first place the bytes fit the template: a whole print there ends what came before it;
    // a print under way there waits. A print cannot begin within one under way.
    const std::size_t at = FirstFit();
    if (pending_.size() - at < kFrameLength) {
        return false;
    }
    EmitBefore(out, at, at);
    Emit(out, kFrameLength, PieceKind::Print);
    return true;
}

bool CPrintFramer::TakeLayoutPrints(std::vector<FramedPiece>& out, Moment moment) {
    const std::vector<Candidate> candidates = LayoutCandidates(pending_);
    std::vector<std::size_t> pauses = pauses_;
    if (moment == Moment::End && (pauses.empty() || pauses.back() != pending_.size())) {
        pauses.push_back(pending_.size()); // the stream ends here for good
    }
    const Boundaries boundaries{pauses, beginsAtBoundary_};
    const std::vector<std::size_t> chosen = BestReading(pending_, candidates, boundaries).chosen;
    const auto endsAtPause = [&](std::size_t i) {
        return boundaries.Ends(candidates[chosen[i]].at);
    };
    // At a pause the prints up to the last one that ends at a pause are certain (a print may
    // pause within itself, but does not end where it paused); the bytes after it may still
    // change how the rest reads. In a long burst the first print is taken.
    std::size_t take = chosen.size();
    if (moment == Moment::Quiet) {
        while (take > 0 && !endsAtPause(take - 1)) {
            --take;
        }
        // None ends at the pause, but the first begins where something surely began (a pause,
        // a whole print): it and the prints right after it are sure; bytes after them wait.
        const auto known = [&](std::size_t i) {
            return !template_ || template_->Layout() == candidates[chosen[i]].layout;
        };
        if (take == 0 && !chosen.empty() && boundaries.Begins(candidates[chosen[0]].at) &&
            known(0)) {
            for (take = 1;
                 take < chosen.size() && known(take) &&
                 candidates[chosen[take]].at == candidates[chosen[take - 1]].at + kFrameLength;
                 ++take) {
            }
        }
    } else if (moment == Moment::Arriving) {
        take = std::min<std::size_t>(take, 1);
    }
    // Learned from first, so that the pieces between them are told by it. A print of the known
    // layout only adds what varies; a new layout is taken only from prints nothing else could
    // have been meant by: alike to another print of the reading, or beginning where something
    // surely began and ending at a pause or where the next print begins. (The same bytes one
    // further on have another layout.)
    for (std::size_t i = 0; i < take; ++i) {
        const Candidate& print = candidates[chosen[i]];
        const std::size_t end = print.at + kFrameLength;
        const bool begins = boundaries.Begins(print.at) ||
                            (i > 0 && candidates[chosen[i - 1]].at + kFrameLength == print.at);
        const bool ends =
            endsAtPause(i) || (i + 1 < chosen.size() && candidates[chosen[i + 1]].at == end);
        const bool alike =
            std::count_if(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(take),
                          [&](std::size_t other) { return candidates[other].kind == print.kind; }) >
            1;
        const auto bytes = std::span<const std::uint8_t>(pending_).subspan(print.at, kFrameLength);
        if (template_ && template_->Layout() == print.layout) {
            template_->Learn(bytes, print.layout); // another print of the instrument: a clock
        } else if ((begins && ends) || alike) {
            template_ = PrintTemplate(bytes, print.layout);
        } else {
            continue;
        }
        firstFit_ = 0;
        fitChecked_ = 0;
    }
    std::size_t taken = 0; // bytes of pending_ already handed out
    for (std::size_t i = 0; i < take; ++i) {
        const std::size_t at = candidates[chosen[i]].at;
        EmitBefore(out, at - taken, at - taken);
        Emit(out, kFrameLength, PieceKind::Print);
        taken = at + kFrameLength;
    }
    return take > 0;
}

bool CPrintFramer::TakeUnmarkedPrint(std::vector<FramedPiece>& out, Moment moment) {
    // An instrument that sends no end marker: 3328 bytes whose bands read, from where the bytes
    // held begin or the line paused to where it paused or the stream ends, are a print.
    std::vector<std::size_t> ends = pauses_;
    if (moment == Moment::End) {
        ends.push_back(pending_.size());
    }
    for (const std::size_t end : ends) {
        const std::size_t at = end - kFrameLength;
        if (end >= kFrameLength &&
            (at == 0 || std::binary_search(pauses_.begin(), pauses_.end(), at)) &&
            HoldsAllBands(std::span(pending_).subspan(at))) {
            EmitBefore(out, at, at);
            Emit(out, kFrameLength, PieceKind::Print);
            return true;
        }
    }
    return false;
}

bool CPrintFramer::TakeStrays(std::vector<FramedPiece>& out, Moment moment) {
    // Before a template, a print under way may have paused in its leading part, where nothing
    // tells it from noise until the stream ends.
    return EmitStrays(out, template_               ? FirstFit()
                           : moment == Moment::End ? pending_.size()
                                                   : 0) > 0;
}

bool CPrintFramer::TakeEndedPiece(std::vector<FramedPiece>& out) {
    const std::span<const std::uint8_t> bytes(pending_);
    const std::size_t at = FirstFit();
    if (at == 0) {
        // A print that waits only for the byte after its marker ends at a pause without it,
        // where that byte varies: else the next print's first byte would be taken for it.
        if (bytes.size() + 1 == kFrameLength && template_->TrailingByteVaries()) {
            Emit(out, bytes.size(), PieceKind::Piece);
            return true;
        }
        return false;
    }
    // A damaged print whose tail has come has ended; anything else may still be under way.
    if (!template_->EndsLike(bytes.first(at))) {
        return false;
    }
    Emit(out, at, Classify(bytes.first(at)));
    return true;
}

bool CPrintFramer::TakeMarkedPieces(std::vector<FramedPiece>& out) {
    // No print reads whole by its layout, and none is known: damaged prints (a band's count or
    // line feed garbled). One that has ended, its end marker (and perhaps the byte after it)
    // about where a print's stands, after its bands, is a piece of its own; what follows may
    // still be under way. A marker's bytes among the columns of a print under way stand too
    // early to be taken for one.
    const std::span<const std::uint8_t> bytes(pending_);
    if (!LayoutCandidates(bytes).empty()) {
        return false;
    }
    constexpr std::size_t kSlack = 8; // bytes lost or added
    for (auto marker = bytes.begin();
         (marker = std::search(marker, bytes.end(), std::begin(kMarker), std::end(kMarker))) !=
         bytes.end();
         ++marker) {
        const auto after = static_cast<std::size_t>(marker - bytes.begin()) + 3;
        if (after + kSlack >= kFrameLength && after <= kFrameLength + kSlack &&
            HoldsABand(bytes.first(after))) {
            Emit(out, after + 1 >= bytes.size() ? bytes.size() : after, PieceKind::Piece);
            return true;
        }
    }
    return false;
}

std::size_t CPrintFramer::EmitStrays(std::vector<FramedPiece>& out, std::size_t length) {
    // Noise before a pause after which a print, or what arrived of one, begins: as the template
    // does, else as the print at `length`, or a leading part at the end of the stream.
    const auto pause = std::upper_bound(pauses_.begin(), pauses_.end(), std::size_t{0});
    if (pause == pauses_.end() || *pause > length || *pause == pending_.size()) {
        return 0;
    }
    const std::span<const std::uint8_t> bytes(pending_);
    const std::span<const std::uint8_t> rest =
        bytes.subspan(*pause, (length > *pause ? length : bytes.size()) - *pause);
    const std::size_t alike = std::min({rest.size(), bytes.size() - length, std::size_t{16}});
    const bool begins =
        template_ ? template_->BeginsLike(rest)
        : length < bytes.size()
            ? std::equal(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(alike),
                         bytes.begin() + static_cast<std::ptrdiff_t>(length))
            : BeginsLikeLeadingPart(rest);
    if (!begins || Classify(bytes.first(*pause)) != PieceKind::Stray) {
        return 0;
    }
    const std::size_t strays = *pause;
    Emit(out, strays, PieceKind::Stray);
    return strays;
}

void CPrintFramer::EmitBefore(std::vector<FramedPiece>& out, std::size_t length,
                              std::size_t printAt) {
    const std::size_t strays = EmitStrays(out, length);
    length -= strays;
    printAt -= strays;
    if (length == 0) {
        return;
    }
    const std::span<const std::uint8_t> bytes(pending_);
    const PieceKind kind = Classify(bytes.first(length));
    // What arrived of a print sent again at once begins as the print after it, and may follow
    // bytes that tell nothing (the rest of a print the reader joined late): it is a piece of its
    // own, kept.
    for (std::size_t cut = length > kFrameLength ? length - kFrameLength : 0;
         kind == PieceKind::Stray && cut < length; ++cut) {
        if (std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(cut),
                       bytes.begin() + static_cast<std::ptrdiff_t>(length),
                       bytes.begin() + static_cast<std::ptrdiff_t>(printAt))) {
            if (cut > 0) {
                Emit(out, cut, Classify(bytes.first(cut)));
            }
            Emit(out, length - cut, PieceKind::Piece);
            return;
        }
    }
    Emit(out, length, kind);
}

void CPrintFramer::Emit(std::vector<FramedPiece>& out, std::size_t length, PieceKind kind) {
    const auto end = pending_.begin() + static_cast<std::ptrdiff_t>(length);
    out.push_back({{pending_.begin(), end}, kind});
    pending_.erase(pending_.begin(), end);
    if (firstFit_ >= length) {
        firstFit_ -= length; // the same bytes, further forward
    } else {
        firstFit_ = 0;
        fitChecked_ = 0;
    }
    beginsAtBoundary_ = kind == PieceKind::Print ||
                        std::find(pauses_.begin(), pauses_.end(), length) != pauses_.end();
    std::erase_if(pauses_, [&](std::size_t pause) { return pause <= length; });
    for (std::size_t& pause : pauses_) {
        pause -= length;
    }
}

PieceKind CPrintFramer::Classify(std::span<const std::uint8_t> bytes) const {
    const bool beginsLikePrint =
        (template_ && template_->BeginsLike(bytes)) || BeginsLikeLeadingPart(bytes);
    return beginsLikePrint || HoldsABand(bytes) ? PieceKind::Piece : PieceKind::Stray;
}

} // namespace krt460
