#include "web/capture_index.h"
#include "web/gallery_json.h"
#include "web/request_target.h"

#include <gtest/gtest.h>

#include <set>

namespace krt460::web {
namespace {

FoundFile File(const std::string& name, std::uint64_t size = 3262) {
    return {name, {size, 1}};
}

// The keys of a page, then the total of all pages.
std::vector<std::string> Keys(const Listing& listing) {
    std::vector<std::string> keys;
    for (const Capture& capture : listing.captures) {
        keys.push_back(capture.Key());
    }
    keys.push_back(std::to_string(listing.total));
    return keys;
}

TEST(CaptureIndex, ListsNewestFirstInPagesOfAllOrOneFolder) {
    CaptureIndex index;
    // Put in no order: the name's time, then its number, then the folder decide.
    for (const auto& [folder, name] :
         std::vector<std::pair<std::string, std::string>>{{"b", "20261208-101500-2.bmp"},
                                                          {"", "20261207-235959.bmp"},
                                                          {"a", "20261208-101500.bmp"},
                                                          {"b", "20261208-101500.bmp"},
                                                          {"a", "Scp_20261208-101501.bmp"}}) {
        ASSERT_TRUE(index.Put(folder, File(name)));
    }
    EXPECT_EQ(Keys(index.List(std::nullopt, 0, 10)),
              (std::vector<std::string>{"a/Scp_20261208-101501", "b/20261208-101500-2",
                                        "b/20261208-101500", "a/20261208-101500",
                                        "/20261207-235959", "5"}));
    EXPECT_EQ(Keys(index.List(std::nullopt, 1, 2)),
              (std::vector<std::string>{"b/20261208-101500", "a/20261208-101500", "5"}));
    EXPECT_EQ(Keys(index.List(std::string("a"), 0, 1)),
              (std::vector<std::string>{"a/Scp_20261208-101501", "2"}));
    index.AddFolder("empty");
    EXPECT_EQ(index.Folders(), (std::vector<std::string>{"", "a", "b"}));
}

TEST(CaptureIndex, FilesOfOnePrintInAnyOrderMakeOneCaptureAndItsVerdict) {
    CaptureIndex index;
    EXPECT_FALSE(index.Put("", File("krt1234.tmp")));
    EXPECT_EQ(VerdictOf(index.Put("", File("20261208-101500.bin", 3328))->capture),
              Verdict::Undecodable);
    EXPECT_EQ(VerdictOf(index.Put("", File("20261208-101500.bmp"))->capture), Verdict::Picture);
    EXPECT_FALSE(index.Put("", File("20261208-101500.bmp"))) << "nothing changed: no event";
    // The record is read by whoever shows the capture; it outweighs the files.
    CaptureRecord record;
    record.kept = "partial";
    std::optional<Change> recorded = index.Put("", File("20261208-101500.json", 200));
    recorded->capture.record = record;
    EXPECT_EQ(VerdictOf(recorded->capture), Verdict::CutShort);
    EXPECT_FALSE(index.Remove("", "20261208-101500.png")) << "it had none";
    std::optional<Change> gone = index.Remove("", "20261208-101500.bmp");
    ASSERT_TRUE(gone && !gone->removed);
    record.kept = "picture";
    gone->capture.record = record;
    EXPECT_EQ(VerdictOf(gone->capture), Verdict::Awaited);
    index.Remove("", "20261208-101500.bin");
    EXPECT_TRUE(index.Remove("", "20261208-101500.json")->removed);
    EXPECT_EQ(index.List(std::nullopt, 0, 10).total, 0u);
    EXPECT_EQ(VerdictOf(index.Put("x", File("20261208-101501.partial.bin"))->capture),
              Verdict::CutShort);
}

TEST(CaptureIndex, ALookAtAFolderTellsWhatCameAndWentMeanwhile) {
    CaptureIndex index;
    for (const char* name : {"20261208-101500.bmp", "20261208-101501.bmp", "20261208-101504.bmp"}) {
        index.Put("a", File(name));
    }
    index.Put("b", File("20261208-101502.bmp"));
    std::vector<Change> changes;
    index.Replace("a",
                  {File("20261208-101501.bmp"), File("20261208-101501.bin", 3328),
                   File("20261208-101503.bmp"), File("20261208-101504.bmp")},
                  &changes);
    std::set<std::pair<std::string, bool>> told;
    for (const Change& change : changes) {
        told.insert({change.capture.Key(), change.removed});
    }
    EXPECT_EQ(told, (std::set<std::pair<std::string, bool>>{{"a/20261208-101500", true},
                                                            {"a/20261208-101501", false},
                                                            {"a/20261208-101503", false}}));
    EXPECT_EQ(changes.size(), 3u) << "a capture as it was is not told";
    EXPECT_EQ(index.List(std::string("a"), 0, 10).total, 3u);
    EXPECT_EQ(index.RemoveFolder("b").size(), 1u);
    EXPECT_EQ(index.List(std::nullopt, 0, 10).total, 3u);
}

TEST(GalleryJson, EscapesEveryNameAndKeepsItValidUtf8) {
    EXPECT_EQ(JsonString("a\"\\</script>&\n\x01"),
              "\"a\\\"\\\\\\u003c/script\\u003e\\u0026\\u000a\\u0001\"");
    EXPECT_EQ(JsonString("Pr\xC3\xBC"
                         "f \xFF\xC3(\xED\xA0\x80"),
              "\"Pr\xC3\xBC"
              "f \\ufffd\\ufffd(\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(EncodeUrlPart("pi 1/%\xC3\xBC"), "pi%201%2F%25%C3%BC");
}

} // namespace
} // namespace krt460::web
