#pragma once

#include "cli/hardcopy.h"
#include "image/picture_output.h"

#include <string>

namespace krt460::cli {

struct ReceiveOptions {
    std::string port;
    std::string output;
    std::string raw;            // where to keep the received bytes; empty: not kept
    double timeoutSeconds = 10; // 0: wait for ever
    PictureOptions picture;
};

// Receives one hardcopy on a port and writes its picture, as Empfangen then Anzeigen would.
// A signal stops the capture and writes nothing; a stalled transfer or a lost port keeps the
// bytes so far.
ExitCode RunReceive(const ReceiveOptions& options);

} // namespace krt460::cli
