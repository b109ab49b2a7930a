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

// Empty when this process may create files in `folder`; otherwise the system's reason.
std::string FolderNotWritable(const std::string& folder);

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
