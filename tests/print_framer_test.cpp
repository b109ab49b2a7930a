#include "capture/capture_buffer.h"
#include "capture/print_framer.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace krt460 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Sample() {
    return test::ReadFileBytes(KRT460_SAMPLE_FRAME); // marker at 3325, the leading part holds
                                                     // line feed, escape, "3" too
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return {bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to)};
}

// The sample with its marker at 3324 (one of the blanks before it left out) and a byte after it.
Bytes MarkerAt3324() {
    const Bytes a = Sample();
    return Join({Slice(a, 0, 3320), Slice(a, 3321, a.size()), {0x18}});
}

// Feeds the stream in the 20-byte chunks a paced receiver reads, then lets the line go quiet.
std::vector<FramedPiece> Frame(const Bytes& stream, std::size_t* pending = nullptr) {
    CPrintFramer framer;
    std::vector<FramedPiece> pieces;
    for (std::size_t at = 0; at < stream.size(); at += 20) {
        const auto chunk =
            std::span(stream).subspan(at, std::min<std::size_t>(20, stream.size() - at));
        for (FramedPiece& piece : framer.Feed(chunk)) {
            pieces.push_back(std::move(piece));
        }
    }
    for (FramedPiece& piece : framer.Quiet()) {
        pieces.push_back(std::move(piece));
    }
    if (pending != nullptr) {
        *pending = framer.Pending();
    }
    return pieces;
}

struct FramerCase {
    const char* name;
    Bytes stream;
    std::vector<Bytes> pieces; // as cut, in order
    std::vector<bool> atMarker;
};

TEST(PrintFramer, CutsEachPrintWhereItEnds) {
    const Bytes a = Sample();
    const Bytes b = MarkerAt3324();
    const Bytes lostByte = Join({Slice(a, 0, 1000), Slice(a, 1001, a.size())}); // in band 5
    const Bytes lostLeading = Join({Slice(a, 0, 5), Slice(a, 6, a.size())});
    const Bytes lostLeading3324 = Join({Slice(b, 0, 5), Slice(b, 6, b.size())});
    Bytes unmarked = a;
    std::fill(unmarked.end() - 3, unmarked.end(), 0);
    Bytes markerInColumns = a;
    std::copy_n("\x0A\x1B\x33", 3, markerInColumns.begin() + 16 + 5 * 165 + 4 + 80);
    Bytes earlyMarker = a; // the trailing part holds line feed, escape, "3" before the marker
    std::copy_n("\x0A\x1B\x33", 3, earlyMarker.begin() + 3317);
    const Bytes stray{0x7E};

    const FramerCase cases[] = {
        {"back to back", Join({a, a, a}), {a, a, a}, {true, true, true}},
        {"a byte lost in a band costs that print only",
         Join({lostByte, a, a}),
         {lostByte, a, a},
         {true, true, true}},
        {"a byte lost before the bands costs that print only",
         Join({lostLeading, a, a}),
         {lostLeading, a, a},
         {true, true, true}},
        {"the same with the marker at 3324",
         Join({lostLeading3324, b, b}),
         {lostLeading3324, b, b},
         {true, true, true}},
        {"a lost marker byte costs that print only",
         Join({Slice(a, 0, 3327), a, a}),
         {Slice(a, 0, 3327), a, a},
         {false, true, true}},
        {"a print cut short, then printed again",
         Join({Slice(a, 0, 1000), a, a}),
         {Slice(a, 0, 1000), a, a},
         {false, true, true}},
        {"nine stray bytes between prints",
         Join({a, Bytes(9, 0), a, a}),
         {a, Bytes(9, 0), a, a},
         {true, false, true, true}},
        {"joined mid-print: the rest of it, then whole prints",
         Join({Slice(a, 1664, a.size()), a, a}),
         {Slice(a, 1664, a.size()), a, a},
         {false, true, true}},
        {"a stray byte before the first",
         Join({stray, a, a, a}),
         {stray, a, a, a},
         {false, true, true, true}},
        {"marker at 3324 with its byte after it", Join({b, b, b}), {b, b, b}, {true, true, true}},
        {"a stray byte before prints with the marker at 3324",
         Join({b, stray, b}),
         {b, stray, b},
         {true, false, true}},
        {"twenty bands without a marker end at 3328",
         Join({a, unmarked, a}),
         {a, unmarked, a},
         {true, false, true}},
        {"the marker's bytes among a band's columns cut nothing",
         Join({markerInColumns, a}),
         {markerInColumns, a},
         {true, true}},
        {"the same bytes early in the trailing part cut nothing",
         Join({earlyMarker, a}),
         {earlyMarker, a},
         {true, true}},
    };
    for (const FramerCase& c : cases) {
        std::size_t pending = 0;
        const std::vector<FramedPiece> pieces = Frame(c.stream, &pending);
        ASSERT_EQ(pieces.size(), c.pieces.size()) << c.name;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            EXPECT_EQ(pieces[i].bytes, c.pieces[i]) << c.name << ", piece " << i;
            EXPECT_EQ(pieces[i].endsAtMarker, c.atMarker[i]) << c.name << ", piece " << i;
        }
        EXPECT_EQ(pending, 0u) << c.name << ": nothing may stay behind";
    }
}

// A print whose marker stands at 3324 waits for the byte after it, and gets it only from the
// line: a pause ends the print without it rather than with the next print's first byte.
TEST(PrintFramer, APauseEndsOnlyWhatWaitsForTheBytesAfterAMarker) {
    const Bytes b = MarkerAt3324();
    CPrintFramer framer;
    EXPECT_TRUE(framer.Feed(Slice(b, 0, kFrameLength - 1)).empty());
    const std::vector<FramedPiece> ended = framer.Quiet();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].bytes, Slice(b, 0, kFrameLength - 1));

    // An instrument that pauses within a print: what came stays, and the print comes out whole.
    const Bytes a = Sample();
    EXPECT_TRUE(framer.Feed(Slice(a, 0, 16)).empty());
    EXPECT_TRUE(framer.Quiet().empty());
    framer.Feed(Slice(a, 16, a.size()));
    const std::vector<FramedPiece> whole = framer.Quiet();
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].bytes, a);

    // Stray bytes between prints that come with pauses: each print whole, the next ones too.
    std::vector<std::size_t> sizes;
    for (const Bytes& part : {a, Bytes(9, 0), a, Bytes{}, a, Bytes{}, a}) {
        for (const auto& pieces : {framer.Feed(part), framer.Quiet()}) {
            for (const FramedPiece& piece : pieces) {
                sizes.push_back(piece.bytes.size());
            }
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{kFrameLength, 9, kFrameLength, kFrameLength,
                                               kFrameLength}));

    // Cut short: what came stays until the stream ends.
    EXPECT_TRUE(framer.Feed(Slice(b, 0, 1000)).empty());
    EXPECT_TRUE(framer.Quiet().empty());
    const auto rest = framer.Flush();
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(rest->bytes.size(), 1000u);
    EXPECT_FALSE(framer.Flush().has_value());
}

} // namespace
} // namespace krt460
