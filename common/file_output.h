#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace krt460 {

// Writes `bytes` as the whole file `path`. A regular file is written to a temporary file in the
// same folder and renamed into place once complete, so that a full disk or a killed process
// never leaves a truncated file under the name, and an existing file is replaced only by a
// complete new one. An existing file that may not be written is left alone, as it would be by a
// direct write; a device (/dev/null) is written directly. False with the system's words in
// `error`.
bool WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         std::string& error);

// The system's own words for an error number (errno, or GetLastError on Windows).
std::string SystemErrorText(unsigned long code);

} // namespace krt460
