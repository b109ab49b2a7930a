#include "settings/settings_file.h"
#include "test_files.h"

#include <gtest/gtest.h>

namespace krt460 {
namespace {

using test::ScratchDir;

TEST(SettingsFile, LoadReadsWholeLinesOfTheTextStream) {
    const struct {
        const char* name;
        std::string content, port;
        bool border, saveEveryPrint = false;
    } cases[] = {
        {"written by this program", "COM2\r\n0\r\n1\r\n", "COM2", false, true},
        {"two lines, as an older version wrote", "COM2\r\n1\r\n", "COM2", true, false},
        {"bare line feeds", "COM1\n1\n", "COM1", true},
        {"empty file", "", "", false},
        {"nine characters keep the flag", "\\\\.\\COM12\r\n1\r\n", "\\\\.\\COM12", true},
        {"ten characters are not cut", "\\\\.\\COM123\r\n1\r\n", "\\\\.\\COM123", true},
        {"a line over 255 bytes is cut, its rest skipped", std::string(300, 'x') + "\r\n1\r\n",
         std::string(255, 'x'), true},
        {"flag with a trailing blank", "COM1\r\n1 \r\n", "COM1", false},
        {"flag other than 1", "COM1\r\nyes\r\n", "COM1", false},
        {"blanks are kept", " COM1 \r\n1", " COM1 ", true},
        {"0x1A ends the file",
         "COM2\r\n\x1A"
         "1\r\n",
         "COM2", false},
        {"0x1A inside the first line", "CO\x1AM2\r\n1\r\n", "CO", false},
        {"lone CR stays in the value", "COM1\r\r\n1\r\n", "COM1\r", true},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        test::WriteFileBytes(dir.File("KRT460.ini"), c.content);
        EXPECT_EQ(CSettingsFile::LoadSettings(dir.File("KRT460.ini")),
                  (Settings{c.port, c.border, c.saveEveryPrint}))
            << c.name;
    }
}

TEST(SettingsFile, SaveWritesCrLfLinesThatReadBackTheSame) {
    ScratchDir dir;
    const std::string path = dir.File("KRT460.ini");
    test::WriteFileBytes(path, "a much longer old content\r\n1\r\n");
    ASSERT_TRUE(CSettingsFile::SaveSettings(path, {"COM2", false, true}));
    const auto bytes = test::ReadFileBytes(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "COM2\r\n0\r\n1\r\n");
    for (const Settings& saved : {Settings{}, Settings{"\\\\.\\COM12", true, false}}) {
        ASSERT_TRUE(CSettingsFile::SaveSettings(path, saved));
        EXPECT_EQ(CSettingsFile::LoadSettings(path), saved);
    }
}

// A missing file gives the defaults and is not created; a save into a missing folder fails and
// says why.
TEST(SettingsFile, MissingFileOrFolder) {
    ScratchDir dir;
    EXPECT_EQ(CSettingsFile::LoadSettings(dir.File("KRT460.ini")), Settings{});
    EXPECT_FALSE(std::filesystem::exists(dir.File("KRT460.ini")));
    std::string reason;
    EXPECT_FALSE(CSettingsFile::SaveSettings(dir.File("missing/KRT460.ini"), {}, &reason));
    EXPECT_FALSE(reason.empty());
}

} // namespace
} // namespace krt460
