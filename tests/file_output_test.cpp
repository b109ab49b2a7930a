// Complete files or none, on POSIX systems, where a file size limit stands in for a full disk.
#include "common/file_output.h"
#include "image/screen_image.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace krt460 {
namespace {

// A full disk (here: a file size limit) must leave neither a truncated file under the name nor
// a temporary file, and the old picture as it was.
TEST(FileOutput, FailedSaveLeavesTheOldFileAndNoPartialOne) {
    test::ScratchDir dir;
    const std::string path = dir.File("Scp1.bmp");
    test::WriteFileBytes(path, "old");
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    const bool saved_ok = CScreenImage().SaveBitmapFile(path, &error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(saved_ok);
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    EXPECT_EQ(test::ReadFileBytes(path), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
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
    ASSERT_EQ(WriteNewFileAtomically(dir.File("free.bmp"), bytes, error), NewFileResult::Written)
        << error;
    EXPECT_EQ(test::ReadFileBytes(dir.File("free.bmp")),
              (std::vector<std::uint8_t>{'n', 'e', 'w'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3);
}

} // namespace
} // namespace krt460
