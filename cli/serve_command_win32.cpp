#include "cli/serve_command.h"

#include <iostream>

namespace krt460::cli {

ExitCode RunServe(const ServeOptions&) {
    std::cerr << "error: serve is not available on Windows; run krt460 serve on Linux, such as "
                 "the Raspberry Pi beside the instrument\n";
    return kExitFailure;
}

} // namespace krt460::cli
