#pragma once

#include "cli/hardcopy.h"

#include <string>

namespace krt460::cli {

struct ReceiveOptions {
    std::string port; // empty: the port of KRT460.ini in the working directory, else COM1
    std::string output;
    std::string raw; // where to keep the received bytes; empty: not kept
};

// Receives one hardcopy on a port and writes its picture, as Empfangen then Anzeigen would.
// Ctrl-C stops the capture and writes nothing.
ExitCode RunReceive(const ReceiveOptions& options);

} // namespace krt460::cli
