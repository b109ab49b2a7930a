// Complete files on POSIX systems: mkstemp beside the target, fsync, rename.
#include "common/file_output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace krt460 {
namespace {

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

bool Fail(std::string& error) {
    error = SystemErrorText(static_cast<unsigned long>(errno));
    return false;
}

// A new file gets the mode every other program would give it, not mkstemp's 0600.
mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

std::string SystemErrorText(unsigned long code) {
    return std::strerror(static_cast<int>(code));
}

bool WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         std::string& error) {
    struct stat existing {};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) {
        // A device or FIFO is written as it stands; a rename would replace the node.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return Fail(error);
        }
        const bool written = WriteAll(fd, bytes);
        const int writeErrno = errno;
        const bool closed = ::close(fd) == 0;
        if (!written) {
            errno = writeErrno;
        }
        return written && closed ? true : Fail(error);
    }
    if (exists && ::access(path.c_str(), W_OK) != 0) {
        return Fail(error);
    }
    const std::filesystem::path target(path);
    if (!target.has_filename()) {
        errno = EISDIR;
        return Fail(error);
    }
    std::string name(1, '.'); // hidden, beside the target
    name += target.filename().string();
    name += ".XXXXXX";
    std::string temporary = (target.parent_path() / name).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return Fail(error);
    }
    const mode_t mode = exists ? (existing.st_mode & 07777) : NewFileMode();
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    int savedErrno = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    if (ok) {
        savedErrno = errno;
    }
    ::unlink(temporary.c_str());
    errno = savedErrno;
    return Fail(error);
}

} // namespace krt460
