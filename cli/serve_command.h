#pragma once

#include "cli/hardcopy.h"

#include <string>

namespace krt460::cli {

struct ServeOptions {
    std::string dir;
    std::string bind = "127.0.0.1:8460";
};

struct BindAddress {
    std::string host; // without the brackets of an IPv6 address
    int port = 0;
};

// ADDR:PORT, [IPV6]:PORT; the port from 0 (any free one) to 65535. False when it is none.
bool ParseBindAddress(const std::string& text, BindAddress& address);

// Whether only this machine reaches the address: 127.x.x.x, ::1 or localhost.
bool IsLoopback(const std::string& host);

// Serves the read-only gallery of the captures in DIR until Ctrl-C or SIGTERM (Linux only; the
// Windows build says so).
ExitCode RunServe(const ServeOptions& options);

} // namespace krt460::cli
