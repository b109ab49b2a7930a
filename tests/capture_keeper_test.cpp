#include "keep/capture_keeper.h"
#include "keep/capture_record.h"
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
// as, and the record beside it.
TEST(CaptureKeeper, KeepsEachPrintByOneRule) {
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    Bytes longer = sample;
    longer.insert(longer.begin() + 100, 0x00);
    const Print whole = Arrived(sample);
    const Print cut = Arrived({sample.begin(), sample.begin() + 20}, CaptureEnd::Stalled);
    const Print noPrint = Arrived(Bytes(kFrameLength, 0x55));
    const struct {
        const char* name;
        Print print;
        bool rawToo; // the .bin beside a picture, as listen keeps it
        KeptAs as;
        std::set<std::string> files; // the extensions left
    } cases[] = {
        {"a whole print", whole, true, KeptAs::Picture, {".bin", ".bmp", ".json"}},
        {"the series keeps no .bin beside", whole, false, KeptAs::Picture, {".bmp", ".json"}},
        {"3328 bytes, no print", noPrint, true, KeptAs::Raw, {".bin", ".json"}},
        {"cut short", cut, true, KeptAs::Partial, {".json", ".partial.bin"}},
        {"one byte too many", Arrived(longer), true, KeptAs::Partial, {".json", ".partial.bin"}},
        {"noise", Arrived({0x00, 0xFF}, CaptureEnd::Complete, true), true, KeptAs::Stray, {}},
        {"nothing", Arrived({}, CaptureEnd::Stopped), true, KeptAs::Nothing, {}},
    };
    for (const auto& c : cases) {
        const test::ScratchDir dir;
        KeeperOptions options;
        options.dir = dir.Path().string();
        options.prefix = "Scp_";
        options.port = "COM3";
        options.rawBesidePicture = c.rawToo;
        CCaptureKeeper keeper(options);
        const Kept kept = keeper.Keep(c.print);
        EXPECT_EQ(kept.as, c.as) << c.name;
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
        EXPECT_EQ(extensions, c.files) << c.name;
        const CCaptureKeeper::Counts& counts = keeper.Counted();
        EXPECT_EQ(counts.pictures + counts.unreadable + counts.partial + counts.strays,
                  c.as == KeptAs::Nothing ? 0u : 1u)
            << c.name;
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
    const std::set<std::string> picture{".bin", ".bmp", ".json"}, partial{".json", ".partial.bin"};
    for (const auto& [base, extensions] : bases) {
        EXPECT_TRUE(extensions == picture || extensions == partial) << base;
    }
}

// The data files first, the record last, and whichever write fails (a full disk at the picture,
// the .bin or the record), nothing of the print is left in the folder and its bytes are rescued.
TEST(CaptureKeeper, RecordIsWrittenLastAndAFailedWriteLeavesNothing) {
    const Print whole = Arrived(test::ReadFileBytes(KRT460_SAMPLE_FRAME));
    for (int failing = 0; failing <= 3; ++failing) {
        const test::ScratchDir dir, rescue;
        std::vector<std::string> written;
        KeeperOptions options;
        options.dir = dir.Path().string();
        options.rescueDir = rescue.Path().string();
        options.writeFile = [&](const std::string& path, std::span<const std::uint8_t> bytes,
                                std::string& error) {
            if (static_cast<int>(written.size()) == failing) {
                error = "No space left on device";
                return NewFileResult::Failed;
            }
            written.push_back(fs::path(path).extension().string());
            return WriteNewFileAtomically(path, bytes, error);
        };
        const Kept kept = CCaptureKeeper(options).Keep(whole);
        const std::vector<std::string> order{".bmp", ".bin", ".json"};
        EXPECT_EQ(written, std::vector(order.begin(), order.begin() + failing));
        if (failing < 3) {
            EXPECT_EQ(kept.as, KeptAs::NotWritten);
            EXPECT_EQ(kept.error, "No space left on device");
            EXPECT_TRUE(fs::is_empty(dir.Path())) << "write " << failing << " failed";
            EXPECT_EQ(test::ReadFileBytes(kept.rescued), whole.bytes);
        }
    }
}

// Unattended, a print that cannot be written is held with a copy in the rescue folder at once,
// as are those after it (up to the bound; beyond, only the copy; beyond the copies' bound, lost),
// and all are written under the names and times they came with, in order, once the folder takes
// files again; a copy left is taken up by the next keeper (a restart) and written so too.
TEST(CaptureKeeper, HeldPrintsAreWrittenInOrderOnceTheFolderIsBack) {
    const test::ScratchDir dir, rescue;
    const fs::path folder = dir.Path() / "prints";
    const auto folderTakesFiles = [&](bool takes) {
        fs::remove_all(folder);
        takes ? void(fs::create_directory(folder)) : test::WriteFileBytes(folder, "no folder");
    };
    folderTakesFiles(false);
    KeeperOptions options;
    options.dir = folder.string();
    options.rescueDir = rescue.Path().string();
    options.hold = true;
    options.holdAtMost = 2 * kFrameLength;
    options.rescueAtMost = 3 * kFrameLength;
    CCaptureKeeper keeper(options);
    const std::time_t came = 1796000000;
    const auto keep = [&](int second) {
        Print print = Arrived(test::ReadFileBytes(KRT460_SAMPLE_FRAME));
        print.lastByteAt = std::chrono::system_clock::from_time_t(came + second);
        return keeper.Keep(print);
    };
    EXPECT_EQ(keep(0).as, KeptAs::Held);
    folderTakesFiles(true);
    EXPECT_EQ(keep(1).as, KeptAs::Held) << "held prints go first";
    folderTakesFiles(false);
    const Kept beyond = keep(2);
    EXPECT_EQ(beyond.as, KeptAs::NotWritten);
    const Kept lost = keep(3);
    EXPECT_TRUE(lost.as == KeptAs::NotWritten && lost.rescueFull && lost.rescued.empty());
    EXPECT_EQ(keeper.Counted().lost, 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(rescue.Path()), {}), 3);
    EXPECT_TRUE(keeper.Retry().empty());
    folderTakesFiles(true);
    const std::vector<Kept> written = keeper.Retry();
    ASSERT_EQ(written.size(), 2u);
    for (const int i : {0, 1}) {
        const std::string base = (folder / LocalTimeStamp(came + i)).string();
        EXPECT_EQ(written[static_cast<std::size_t>(i)].file, base + ".bmp");
        EXPECT_TRUE(fs::exists(base + ".json") && fs::exists(base + ".bin")) << base;
    }
    // The copies of written prints go; the only copy of one beyond the bound stays.
    EXPECT_EQ(std::distance(fs::directory_iterator(rescue.Path()), {}), 1);
    EXPECT_TRUE(fs::exists(beyond.rescued));
    CCaptureKeeper restarted(options);
    EXPECT_EQ(restarted.TakeUp(), 1u);
    ASSERT_EQ(restarted.Retry().size(), 1u);
    EXPECT_TRUE(fs::exists((folder / LocalTimeStamp(came + 2)).string() + ".json"));
    EXPECT_TRUE(fs::is_empty(rescue.Path()));
}

} // namespace
} // namespace krt460
