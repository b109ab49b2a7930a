#include "keep/capture_record.h"

#include <gtest/gtest.h>

namespace krt460 {
namespace {

TEST(CaptureName, TellsCapturesFromEverythingElse) {
    const struct {
        const char* name;
        bool capture;
        CaptureFileKind kind;
    } cases[] = {
        {"20261208-101500.bmp", true, CaptureFileKind::Bmp},
        {"20261208-101500-2.png", true, CaptureFileKind::Png},
        {"Scp_20261208-101500.bin", true, CaptureFileKind::Raw},
        {"20261208-101500-9999.partial.bin", true, CaptureFileKind::Partial},
        {"20261208-101500.json", true, CaptureFileKind::Record},
        {"Scp1.bmp", false, {}},
        {".20261208-101500.bmp.tmp", false, {}},
        {".20261208-101500.bmp", false, {}},
        {"20261208-101500-1.bmp", false, {}},
        {"20261208-101500-02.bmp", false, {}},
        {"20261208-101500-10000.bmp", false, {}},
        {"20261208_101500.bmp", false, {}},
        {"20261208-101500.BMP", false, {}},
        {"scp_20261208-101500.bmp", false, {}},
        {"../20261208-101500.bmp", false, {}},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseCaptureName(c.name);
        ASSERT_EQ(parsed.has_value(), c.capture) << c.name;
        if (parsed) {
            EXPECT_EQ(parsed->kind, c.kind) << c.name;
            EXPECT_EQ(parsed->Base() + ExtensionOf(parsed->kind), c.name); // the base is the rest
        }
    }
}

TEST(CaptureRecord, ReadsBackWhatItWrites) {
    CaptureRecord record;
    record.received = "2026-12-08T10:15:00+01:00";
    record.port = "COM3 \"bench\\2\"\n";
    record.bytes = 3328;
    record.end = "complete";
    record.kept = "picture";
    record.endMarker = true;
    record.picture = "20261208-101500.bmp";
    record.lineErrorsKnown = true;
    record.overrun = 2;
    EXPECT_EQ(RecordFromJson(RecordToJson(record)), record);
    record.lineErrorsKnown = false;
    record.overrun = 0;
    record.picture.clear();
    record.raw = "20261208-101500.partial.bin";
    EXPECT_EQ(RecordFromJson(RecordToJson(record)), record);

    // Members it does not know are passed over; anything but a record is refused.
    EXPECT_EQ(RecordFromJson(R"({"bytes":12,"future":{"a":[]}})"), std::nullopt);
    EXPECT_EQ(RecordFromJson(R"({"bytes":12,"future":{"a":"b"},"more":null})")->bytes, 12u);
    for (const char* bad : {"", "{", "[]", R"({"bytes":-1})", R"({"bytes":1} x)",
                            R"({"port":"\u00e4"})", R"({"port":"a)"}) {
        EXPECT_EQ(RecordFromJson(bad), std::nullopt) << bad;
    }
}

} // namespace
} // namespace krt460
