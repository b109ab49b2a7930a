#pragma once

#include "capture/capture_buffer.h"
#include "image/picture_output.h"
#include "image/screen_image.h"

#include <cstddef>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

namespace krt460::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,      // a file or port could not be used
    kExitNotParsed = 2,    // the bytes are no hardcopy; no picture written
    kExitStalled = 3,      // the transfer stopped arriving; the bytes so far kept, no picture
    kExitPortLost = 4,     // the port went away during a capture; the bytes so far kept
    kExitUsage = 64,       // EX_USAGE: the command line is wrong
    kExitSignalBase = 128, // plus the signal that ended a capture (130 Ctrl-C, 143 SIGTERM)
};

struct ExitStatusMeaning {
    int status;
    const char* meaning;
};

// Every status the program can return, for --help and the manual page.
inline constexpr ExitStatusMeaning kExitStatuses[] = {
    {kExitOk, "done"},
    {kExitFailure, "a file or port could not be used (the system's reason is given); listen "
                   "stopped while holding prints it could not write"},
    {kExitNotParsed, "the bytes are not a hardcopy (no picture written)"},
    {kExitStalled, "the transfer stalled (the bytes so far kept in .partial.bin)"},
    {kExitPortLost, "the port was lost, adapter unplugged (the bytes so far kept)"},
    {kExitUsage, "the command line is wrong"},
    {kExitSignalBase + 2, "Ctrl-C during a capture (listen between prints ends with 0)"},
    {kExitSignalBase + 15, "SIGTERM during a capture (129 for SIGHUP)"},
};

// Decodes the bytes of a print (what a capture buffer holding only them would show), reports
// the verdicts on `log` and writes the picture ("-": standard output), only when the parse
// succeeded.
ExitCode DecodeAndWrite(std::span<const std::uint8_t> bytes, bool hasEndMarker,
                        const std::string& outputPath, const PictureOptions& options,
                        std::ostream& log);

} // namespace krt460::cli
