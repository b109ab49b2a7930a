#include "common/capture_keeper.h"
#include "common/capture_record.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace krt460 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::string> FilesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

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
// as, and the record beside it.
TEST(CaptureKeeper, KeepsEachPrintByOneRule) {
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    Bytes unmarked = sample;
    std::fill(unmarked.end() - 3, unmarked.end(), 0);
    const struct {
        const char* name;
        Print print;
        bool rawBesidePicture;
        KeptAs as;
        std::vector<std::string> extensions; // of the files left, sorted
        const char* kept;
    } cases[] = {
        {"a whole print",
         Arrived(sample),
         true,
         KeptAs::Picture,
         {".bin", ".bmp", ".json"},
         "picture"},
        {"the series keeps no .bin beside",
         Arrived(sample),
         false,
         KeptAs::Picture,
         {".bmp", ".json"},
         "picture"},
        {"no marker, bands intact",
         Arrived(unmarked),
         false,
         KeptAs::Picture,
         {".bmp", ".json"},
         "picture"},
        {"3328 bytes that are no print",
         Arrived(Bytes(kFrameLength, 0x55)),
         false,
         KeptAs::Raw,
         {".bin", ".json"},
         "raw"},
        {"cut short",
         Arrived(Bytes(sample.begin(), sample.begin() + 20), CaptureEnd::Stalled),
         false,
         KeptAs::Partial,
         {".json", ".partial.bin"},
         "partial"},
        {"one byte too many",
         Arrived([&] {
             Bytes more = sample;
             more.insert(more.begin() + 100, 0x00);
             return more;
         }()),
         true,
         KeptAs::Partial,
         {".json", ".partial.bin"},
         "partial"},
        {"noise", Arrived({0x00, 0xFF}, CaptureEnd::Complete, true), true, KeptAs::Stray, {}, ""},
        {"nothing", Arrived({}, CaptureEnd::Stopped), true, KeptAs::Nothing, {}, ""},
    };
    for (const auto& c : cases) {
        const test::ScratchDir dir;
        KeeperOptions options;
        options.dir = dir.Path().string();
        options.prefix = "Scp_";
        options.port = "COM3";
        options.rawBesidePicture = c.rawBesidePicture;
        CCaptureKeeper keeper(options);
        const Kept kept = keeper.Keep(c.print);
        EXPECT_EQ(kept.as, c.as) << c.name;
        EXPECT_EQ(kept.markerMissing, c.print.bytes == unmarked) << c.name;
        std::vector<std::string> extensions;
        for (const std::string& file : FilesIn(dir.Path())) {
            const auto name = ParseCaptureName(file);
            ASSERT_TRUE(name && name->prefix == "Scp_") << c.name << ": " << file;
            extensions.push_back(ExtensionOf(name->kind));
            if (name->kind == CaptureFileKind::Record) {
                const Bytes json = test::ReadFileBytes(dir.Path() / file);
                const auto record = RecordFromJson(std::string(json.begin(), json.end()));
                ASSERT_TRUE(record) << c.name;
                EXPECT_EQ(record->kept, c.kept) << c.name;
                EXPECT_EQ(record->bytes, c.print.bytes.size()) << c.name;
                EXPECT_EQ(record->port, "COM3") << c.name;
                EXPECT_EQ(record->endMarker, c.print.hasEndMarker) << c.name;
                EXPECT_EQ(record->overrun, 2u) << c.name;
                for (const std::string& named : {record->picture, record->raw}) {
                    EXPECT_TRUE(named.empty() || fs::exists(dir.Path() / named)) << c.name;
                }
            }
        }
        std::sort(extensions.begin(), extensions.end());
        EXPECT_EQ(extensions, c.extensions) << c.name;
        const CCaptureKeeper::Counts& counts = keeper.Counted();
        EXPECT_EQ(counts.pictures + counts.unreadable + counts.partial + counts.strays,
                  c.as == KeptAs::Nothing ? 0u : 1u)
            << c.name;
    }
}

// Prints in one second take -2, -3, ...; a folder that cannot be written keeps nothing half
// there and puts the bytes into the temporary folder.
TEST(CaptureKeeper, ClaimsNamesAndRescuesWhatCannotBeWritten) {
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    const test::ScratchDir dir;
    KeeperOptions options;
    options.dir = dir.Path().string();
    CCaptureKeeper keeper(options);
    const Kept first = keeper.Keep(Arrived(sample));
    const Kept second = keeper.Keep(Arrived(sample));
    ASSERT_EQ(first.as, KeptAs::Picture);
    ASSERT_EQ(second.as, KeptAs::Picture);
    EXPECT_NE(first.file, second.file);
    EXPECT_EQ(FilesIn(dir.Path()).size(), 6u);

    const test::ScratchDir temporary;
    ::setenv("TMPDIR", temporary.Path().c_str(), 1);
    options.dir = (dir.Path() / "missing" / "folder").string();
    CCaptureKeeper failing(options);
    const Kept lost = failing.Keep(Arrived(sample));
    ::unsetenv("TMPDIR");
    EXPECT_EQ(lost.as, KeptAs::NotWritten);
    EXPECT_FALSE(lost.error.empty());
    ASSERT_FALSE(lost.rescued.empty());
    EXPECT_EQ(test::ReadFileBytes(lost.rescued), sample);
    EXPECT_EQ(fs::path(lost.rescued).parent_path(), temporary.Path());
}

} // namespace
} // namespace krt460
