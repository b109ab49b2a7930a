#pragma once

#include <cstdio>
#include <string>

namespace krt460::cli {

// The platform services of the command line.

// True when the stream is shown on a terminal, where a progress line may be redrawn in place.
bool IsTerminal(std::FILE* stream);

// Standard input and output as raw bytes: a hardcopy piped in or a picture piped out must not
// be translated on any platform.
void MakeStdioBinary();

// A file size limit (ulimit -f) makes a write fail instead of killing the program, so that what
// cannot be written is told, held or kept elsewhere like any other failed write.
void TreatFileSizeLimitAsWriteError();

// Whether more bytes of an unbuffered input stream are there now, without waiting for them: a
// file's end is known at once; a pipe or terminal is only looked at, since a writer that stays
// open may never send another byte. Reads at most one byte.
bool MoreInputThere(std::FILE* stream);

// True when `path` names the file standard input reads (one file, whatever its names).
bool IsStandardInput(const std::string& path);

// Empty when this process may write the existing file `path`; otherwise the system's reason.
std::string NotWritable(const std::string& path);

// Ctrl-C, and on POSIX systems SIGTERM and SIGHUP, while a guard lives set a flag instead of
// ending the process, so that the port is closed and nothing half-written is left behind.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    // The signal that arrived, or 0.
    static int Received();
};

} // namespace krt460::cli
