// Complete files or none, on POSIX systems, where a file size limit stands in for a full disk.
#include "common/file_output.h"
#include "image/screen_image.h"
#include "settings/settings_file.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace krt460 {
namespace {

// A full disk (here: a file size limit) must leave neither a truncated file under the name nor
// a temporary file, and the old picture and settings as they were.
TEST(FileOutput, FailedSaveLeavesTheOldFileAndNoPartialOne) {
    test::ScratchDir dir;
    for (const char* name : {"Scp1.bmp", "KRT460.ini"}) {
        test::WriteFileBytes(dir.File(name), "old");
    }
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    const bool pictureSaved = CScreenImage().SaveBitmapFile(dir.File("Scp1.bmp"), &error);
    const bool settingsSaved = CSettingsFile::SaveSettings(dir.File("KRT460.ini"), {"COM2", false});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(pictureSaved);
    EXPECT_FALSE(settingsSaved);
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    for (const char* name : {"Scp1.bmp", "KRT460.ini"}) {
        EXPECT_EQ(test::ReadFileBytes(dir.File(name)), (std::vector<std::uint8_t>{'o', 'l', 'd'}))
            << name;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
    EXPECT_FALSE(CScreenImage().SaveBitmapFile("/dev/full")); // a device is written directly
}

// Whatever has the name (a file, a link to nothing) keeps it, and no temporary file is left.
TEST(FileOutput, NewFileNeverReplacesANameThatExists) {
    test::ScratchDir dir;
    test::WriteFileBytes(dir.File("taken.bmp"), "old");
    std::filesystem::create_symlink("missing", dir.Path() / "link.bmp");
    const std::uint8_t bytes[] = {'n', 'e', 'w'};
    std::string error;
    for (const char* name : {"taken.bmp", "link.bmp"}) {
        EXPECT_EQ(WriteNewFileAtomically(dir.File(name), bytes, error), NewFileResult::NameTaken)
            << name;
    }
    EXPECT_EQ(test::ReadFileBytes(dir.File("taken.bmp")),
              (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "missing"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
}

} // namespace
} // namespace krt460
