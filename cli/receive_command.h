#pragma once

#include "cli/hardcopy.h"
#include "cli/picture_output.h"

#include <string>

namespace krt460::cli {

struct ReceiveOptions {
    std::string port; // empty: the port of KRT460.ini in the working directory, else COM1
    std::string output;
    std::string raw;            // where to keep the received bytes; empty: not kept
    double timeoutSeconds = 10; // 0: wait for ever
    PictureOptions picture;
};

// Receives one hardcopy on a port and writes its picture, as Empfangen then Anzeigen would.
// Ctrl-C stops the capture and writes nothing; a stalled transfer keeps the bytes so far.
ExitCode RunReceive(const ReceiveOptions& options);

// The port of the options, or the one in KRT460.ini of the working directory, or COM1.
std::string PortOrDefault(const std::string& port);

// `path` without its extension, for a file beside it: screen.bmp -> screen.
std::string WithoutExtension(const std::string& path);

} // namespace krt460::cli
