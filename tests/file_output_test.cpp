// Complete files or none, on POSIX systems, where a file size limit stands in for a full disk.
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

} // namespace
} // namespace krt460
