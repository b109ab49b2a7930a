#include "cli/console.h"

#include <unistd.h>

namespace krt460::cli {

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

void MakeStdinBinary() {} // POSIX streams never translate

} // namespace krt460::cli
