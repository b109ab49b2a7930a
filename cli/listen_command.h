#pragma once

#include "cli/hardcopy.h"
#include "image/picture_output.h"

#include <string>

namespace krt460::cli {

struct ListenOptions {
    std::string port;
    std::string dir = ".";
    bool raw = true;            // keep the 3328 bytes beside each picture
    double timeoutSeconds = 10; // between the bytes of a started capture; 0: wait for ever
    bool waitForPort = false;   // an absent port at the start is waited for, not an error
    PictureOptions picture;
};

// Receives hardcopy after hardcopy until Ctrl-C, each into DIR/YYYYMMDD-HHMMSS.bmp (with -2,
// -3, ... when that exists; nothing is overwritten) and one line on stdout.
ExitCode RunListen(const ListenOptions& options);

} // namespace krt460::cli
