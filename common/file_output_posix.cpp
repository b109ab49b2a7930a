// Complete files on POSIX systems: a new temporary file beside the target, fsync, then rename
// (or a claim that never replaces), and fsync of the folder.
#include "common/file_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace krt460 {
namespace {

// Each step gives 0 or the errno it failed with, read where it failed, before any other call
// (a close or an unlink) can change it.
using Errno = int;

Errno WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return 0;
}

Errno Close(int fd, Errno earlier) {
    const Errno closed = ::close(fd) == 0 ? 0 : errno;
    return earlier != 0 ? earlier : closed;
}

// A device or FIFO is written as it stands: a rename would replace the node.
Errno WriteInPlace(const std::string& path, std::span<const std::uint8_t> bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    return fd < 0 ? errno : Close(fd, WriteAll(fd, bytes));
}

// Makes a hidden file beside the target that no other process has: O_EXCL under a random name.
// Mode 0666 lets the kernel apply the umask (and a default ACL) as for any other new file, so
// the process never has to change its umask to learn it.
Errno CreateTemporary(const std::filesystem::path& target, std::string& temporary, int& fd) {
    std::random_device randomDevice;
    Errno error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(randomDevice()));
        temporary = (target.parent_path() / ("." + target.filename().string() + suffix)).string();
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        error = fd < 0 ? errno : 0;
    }
    return error;
}

// The whole of `bytes` on the disk in a temporary file beside the target; removed again when a
// step fails. `mode`: the mode to give it; none for a new file's.
Errno WriteTemporary(const std::string& path, std::span<const std::uint8_t> bytes,
                     std::optional<mode_t> mode, std::string& temporary) {
    const std::filesystem::path target(path);
    if (!target.has_filename()) {
        return EISDIR;
    }
    int fd = -1;
    if (const Errno created = CreateTemporary(target, temporary, fd); created != 0) {
        return created;
    }
    Errno error = mode && ::fchmod(fd, *mode) != 0 ? errno : 0;
    if (error == 0) {
        error = WriteAll(fd, bytes);
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    error = Close(fd, error);
    if (error != 0) {
        ::unlink(temporary.c_str());
    }
    return error;
}

// A rename is on the disk only once its folder is. A folder this process may not read cannot be
// opened to be synced, and some file systems do not sync folders (EINVAL): the file is in place
// all the same.
Errno SyncFolder(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    return Close(fd, ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno);
}

// Puts the temporary file under the name without ever replacing a file there: renameat2 with
// RENAME_NOREPLACE, or a hard link where the file system refuses that flag.
Errno ClaimName(const std::string& temporary, const std::string& path) {
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    if (::link(temporary.c_str(), path.c_str()) != 0) {
        return errno;
    }
    ::unlink(temporary.c_str());
    return 0;
}

bool Fail(std::string& error, Errno code) {
    error = SystemErrorText(static_cast<unsigned long>(code));
    return false;
}

} // namespace

std::string SystemErrorText(unsigned long code) {
    return std::strerror(static_cast<int>(code));
}

bool WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         std::string& error, bool* heldOpen) {
    if (heldOpen != nullptr) {
        *heldOpen = false; // a rename replaces a file whoever holds it open
    }
    struct stat existing {};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) {
        const Errno written = WriteInPlace(path, bytes);
        return written == 0 || Fail(error, written);
    }
    if (exists && ::access(path.c_str(), W_OK) != 0) {
        return Fail(error, errno);
    }
    std::string temporary;
    // An existing file keeps its mode; a new one gets what the umask gives.
    if (const Errno written = WriteTemporary(
            path, bytes, exists ? std::optional(existing.st_mode & 07777) : std::nullopt,
            temporary);
        written != 0) {
        return Fail(error, written);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const Errno renamed = errno;
        ::unlink(temporary.c_str());
        return Fail(error, renamed);
    }
    const Errno synced = SyncFolder(path);
    return synced == 0 || Fail(error, synced);
}

NewFileResult WriteNewFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                                     std::string& error) {
    std::string temporary;
    if (const Errno written = WriteTemporary(path, bytes, std::nullopt, temporary); written != 0) {
        Fail(error, written);
        return NewFileResult::Failed;
    }
    if (const Errno claimed = ClaimName(temporary, path); claimed != 0) {
        ::unlink(temporary.c_str());
        if (claimed == EEXIST) {
            return NewFileResult::NameTaken;
        }
        Fail(error, claimed);
        return NewFileResult::Failed;
    }
    if (const Errno synced = SyncFolder(path); synced != 0) {
        // The name is ours but might not survive a power cut: a write reported failed leaves
        // nothing behind, as every other failure does.
        RemoveFileDurably(path);
        Fail(error, synced);
        return NewFileResult::Failed;
    }
    return NewFileResult::Written;
}

void RemoveFileDurably(const std::string& path) {
    if (::unlink(path.c_str()) == 0) {
        SyncFolder(path);
    }
}

} // namespace krt460
