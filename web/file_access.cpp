#include "web/file_access.h"

#include "keep/capture_record.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace krt460::web {
namespace {

// Whether a real path is a capture in DIR or in one of its direct subfolders: what a link may
// lead to, too, never another file inside DIR.
bool Inside(const std::string& root, const std::string& real) {
    if (real.size() <= root.size() + 1 || real.compare(0, root.size(), root) != 0 ||
        real[root.size()] != '/') {
        return false;
    }
    const std::string rest = real.substr(root.size() + 1);
    const std::size_t slash = rest.find('/');
    const std::string name = slash == std::string::npos ? rest : rest.substr(slash + 1);
    return name.find('/') == std::string::npos && (slash == std::string::npos || rest[0] != '.') &&
           ParseCaptureName(name).has_value();
}

} // namespace

FileFacts FactsOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_size),
            static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

void CloseFd(int fd) {
    ::close(fd);
}

std::optional<FileFacts> FactsInside(const std::string& root, const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    if (S_ISLNK(status.st_mode)) {
        const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                               &std::free);
        if (!real || !Inside(root, real.get()) || ::stat(real.get(), &status) != 0) {
            return std::nullopt;
        }
    }
    if (!S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FactsOf(status);
}

std::optional<std::string> ReadInside(const std::string& root, const std::string& path,
                                      std::size_t limit) {
    // What counts is the file found, not the name: it is looked at first without being opened
    // (a device might act on an open), then that very file is opened, so that a name swapped
    // meanwhile changes nothing.
    struct stat status {};
    const UniqueFd found(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!found || ::fstat(found.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        errno = ENOENT;
        return std::nullopt;
    }
    char real[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(found.get());
    const ssize_t length = ::readlink(self.c_str(), real, sizeof real - 1);
    if (length <= 0 || !Inside(root, std::string(real, static_cast<std::size_t>(length)))) {
        errno = ELOOP;
        return std::nullopt;
    }
    const UniqueFd fd(::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        errno = ENOENT;
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(status.st_size) > limit) {
        errno = EFBIG;
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break; // shorter than it was: what is there is served
        }
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

} // namespace krt460::web
