#pragma once

#include "keep/capture_files.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace krt460::cli {

// Where the bytes of a capture cut short go: shot.png -> shot.partial.bin.
std::string PartialFileName(const std::string& output);

// Whether two names name one file: the same file where it exists (whatever its names), else the
// same path once resolved (x.bmp, ./x.bmp, a/../x.bmp). "-" names no file.
bool SamePath(const std::string& a, const std::string& b);

// Empty when a file can be written at `path` now: a file already there may be written, and its
// folder exists and takes a test write of `probeBytes` (which a full disk or a read-only file
// system refuses; an empty one only the latter); otherwise why not.
std::string OutputProblem(const std::string& path, std::size_t probeBytes = 4096);

// Keeps received bytes whose file could not be written: as .bin beside `output` under a name
// of its own, else in the temporary folder (the disk may be full). The file they went to, or
// empty with `error` saying why none took them.
std::string KeepBytesElsewhere(const std::string& output, std::span<const std::uint8_t> bytes,
                               std::string& error);

// The same, and one line on stderr that says where they are, or that they could not be kept.
void KeepReceivedBytes(const std::string& output, std::span<const std::uint8_t> bytes);

} // namespace krt460::cli
