#include "common/capture_keeper.h"
#include "common/capture_record.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

namespace krt460 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Print Arrived(Bytes bytes, CaptureEnd end = CaptureEnd::Complete, bool stray = false) {
    Print print;
    print.hasEndMarker = bytes.size() == kFrameLength && HasEndMarker(bytes.data());
    print.bytes = std::move(bytes);
    print.end = end;
    print.stray = stray;
    print.lineErrors = {true, 1, 0, 2, 0};
    return print;
}

// One rule for every face: what each print becomes, which files it leaves, what it is counted
// as, and the record beside it. A folder that cannot be written keeps nothing half there and
// puts the bytes into the temporary folder.
TEST(CaptureKeeper, KeepsEachPrintByOneRule) {
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    Bytes unmarked = sample;
    std::fill(unmarked.end() - 3, unmarked.end(), 0);
    Bytes longer = sample;
    longer.insert(longer.begin() + 100, 0x00);
    const Print whole = Arrived(sample);
    const Print cut = Arrived({sample.begin(), sample.begin() + 20}, CaptureEnd::Stalled);
    const struct {
        const char* name;
        Print print;
        bool rawToo; // the .bin beside a picture, as listen keeps it
        KeptAs as;
        const char* files; // the extensions left, sorted
    } cases[] = {
        {"a whole print", whole, true, KeptAs::Picture, ".bin .bmp .json"},
        {"the series keeps no .bin beside", whole, false, KeptAs::Picture, ".bmp .json"},
        {"no marker, bands intact", Arrived(unmarked), false, KeptAs::Picture, ".bmp .json"},
        {"3328 bytes, no print", Arrived(Bytes(kFrameLength, 0x55)), true, KeptAs::Raw,
         ".bin .json"},
        {"cut short", cut, true, KeptAs::Partial, ".json .partial.bin"},
        {"one byte too many", Arrived(longer), true, KeptAs::Partial, ".json .partial.bin"},
        {"noise", Arrived({0x00, 0xFF}, CaptureEnd::Complete, true), true, KeptAs::Stray, ""},
        {"nothing", Arrived({}, CaptureEnd::Stopped), true, KeptAs::Nothing, ""},
        {"a folder that is not there", whole, true, KeptAs::NotWritten, ""},
    };
    for (const auto& c : cases) {
        const test::ScratchDir dir;
        KeeperOptions options;
        options.dir = dir.Path().string() + (c.as == KeptAs::NotWritten ? "/missing" : "");
        options.prefix = "Scp_";
        options.port = "COM3";
        options.rawBesidePicture = c.rawToo;
        CCaptureKeeper keeper(options);
        const Kept kept = keeper.Keep(c.print);
        EXPECT_EQ(kept.as, c.as) << c.name;
        EXPECT_EQ(kept.markerMissing, c.print.bytes == unmarked) << c.name;
        std::set<std::string> extensions;
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            const auto name = ParseCaptureName(entry.path().filename().string());
            ASSERT_TRUE(name && name->prefix == "Scp_") << c.name << ": " << entry.path();
            extensions.insert(ExtensionOf(name->kind));
            if (name->kind == CaptureFileKind::Record) {
                const Bytes json = test::ReadFileBytes(entry.path());
                const auto record = RecordFromJson(std::string(json.begin(), json.end()));
                ASSERT_TRUE(record && record->bytes == c.print.bytes.size() &&
                            record->port == "COM3" && record->endMarker == c.print.hasEndMarker &&
                            record->overrun == 2)
                    << c.name;
                for (const std::string& named : {record->picture, record->raw}) {
                    EXPECT_TRUE(named.empty() || fs::exists(dir.Path() / named)) << c.name;
                }
            }
        }
        std::string files;
        for (const std::string& extension : extensions) {
            files += (files.empty() ? "" : " ") + extension;
        }
        EXPECT_EQ(files, c.files) << c.name;
        const CCaptureKeeper::Counts& counts = keeper.Counted();
        EXPECT_EQ(counts.pictures + counts.unreadable + counts.partial + counts.strays,
                  c.as == KeptAs::Nothing || c.as == KeptAs::NotWritten ? 0u : 1u)
            << c.name;
        if (c.as == KeptAs::NotWritten) {
            EXPECT_FALSE(kept.error.empty());
            ASSERT_EQ(test::ReadFileBytes(kept.rescued), sample) << "kept in the temporary folder";
            fs::remove(kept.rescued);
        }
    }
}

// Two keepers in one folder in the same second (two windows on two ports, two listen runs), one
// keeping pictures and one prints cut short: no base is shared, each has its own record.
TEST(CaptureKeeper, TwoWritersNeverShareABase) {
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    const test::ScratchDir dir;
    KeeperOptions options;
    options.dir = dir.Path().string();
    const auto keep = [&](Print print) {
        CCaptureKeeper keeper(options);
        for (int i = 0; i < 100; ++i) {
            keeper.Keep(print);
        }
    };
    std::thread pictures(keep, Arrived(sample));
    keep(Arrived({sample.begin(), sample.begin() + 100}));
    pictures.join();
    std::map<std::string, std::set<std::string>> bases;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        const auto name = ParseCaptureName(entry.path().filename().string());
        ASSERT_TRUE(name);
        bases[name->Base()].insert(ExtensionOf(name->kind));
    }
    EXPECT_EQ(bases.size(), 200u);
    using Kinds = std::set<std::string>;
    const Kinds picture{".bin", ".bmp", ".json"}, partial{".json", ".partial.bin"};
    for (const auto& [base, extensions] : bases) {
        EXPECT_TRUE(extensions == picture || extensions == partial) << base;
    }
}

} // namespace
} // namespace krt460
