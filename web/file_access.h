#pragma once

#include "common/unique_handle.h"
#include "web/capture_index.h"

#include <cstddef>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace krt460::web {

void CloseFd(int fd);
using UniqueFd = UniqueHandle<SimpleHandleTraits<int, CloseFd, -1>>;

// The facts lstat or fstat found.
FileFacts FactsOf(const struct stat& status);

// The facts of the file at `path`, following a link only where it stays inside `root` (DIR's real
// path); nothing for a link out of it, and for anything but a regular file.
std::optional<FileFacts> FactsInside(const std::string& root, const std::string& path);

// The whole file at `path`, if its real path, as it is opened, lies inside `root`, it is a regular
// file and holds at most `limit` bytes; nothing otherwise (errno tells why, ELOOP for a file
// outside, EFBIG for one too large).
std::optional<std::string> ReadInside(const std::string& root, const std::string& path,
                                      std::size_t limit);

} // namespace krt460::web
