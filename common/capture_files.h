#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace krt460 {

// The local time as YYYYMMDD-HHMMSS, the name of a print's files.
std::string LocalTimeStamp();

// One file of a print, by its extension.
struct CaptureFile {
    std::string extension; // ".bmp", ".bin", ...
    std::span<const std::uint8_t> bytes;
};

// Writes the files of one print as DIR/STAMP.EXT, or STAMP-2, STAMP-3, ... where a file of that
// name exists. Each name is claimed atomically and never replaces a file, so that two writers
// never meet on one name, even one that appears meanwhile. The base name the files took, or
// empty with the system's words in `error` (then none of them is left).
std::string WriteCaptureFiles(const std::string& dir, const std::string& stamp,
                              const std::vector<CaptureFile>& files, std::string& error);

} // namespace krt460
