#include "cli/terminal.h"

#include <unistd.h>

namespace krt460::cli {

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

} // namespace krt460::cli
