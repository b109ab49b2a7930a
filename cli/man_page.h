#pragma once

#include <string>

namespace CLI {
class App;
}

namespace krt460::cli {

// The manual page krt460(1) in roff, made from the program's own command and option
// definitions, so that it never drifts from what the program accepts.
std::string ManPage(const CLI::App& app, const std::string& version);

} // namespace krt460::cli
