#pragma once

#include "common/file_output.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace krt460 {

// The calendar time at `when`, local or UTC, safely from any thread: the C library's own keeps
// one result, and its time zone, for the whole process.
std::tm LocalCalendarTime(std::time_t when);
std::tm UtcCalendarTime(std::time_t when);

// The local time as YYYYMMDD-HHMMSS, the name of a print's files: now, or at `when`.
std::string LocalTimeStamp(std::time_t when = std::time(nullptr));

// One file of a print, by its extension.
struct CaptureFile {
    std::string extension; // ".bmp", ".bin", ...
    std::span<const std::uint8_t> bytes;
    // Instead of `bytes`, text made once the base name is known (a record that names the files).
    std::function<std::string(const std::string& base)> text = nullptr;
};

// Puts one new file in place without replacing any, as WriteNewFileAtomically does; a test
// puts faults in.
using NewFileWriter = std::function<NewFileResult(
    const std::string& path, std::span<const std::uint8_t> bytes, std::string& error)>;

// Writes the files of one print, in their order, as DIR/STAMP.EXT, or STAMP-2, STAMP-3, ...
// where a file of that name exists. Each name is claimed atomically and never replaces a file,
// and a base on which any of them meets another writer's file is given up for the next, so that
// two writers never share one base, even with files of other kinds. The base name the files
// took, or empty with the system's words in `error` (then none of them is left).
std::string WriteCaptureFiles(const std::string& dir, const std::string& stamp,
                              const std::vector<CaptureFile>& files, std::string& error,
                              const NewFileWriter& write = WriteNewFileAtomically);

} // namespace krt460
