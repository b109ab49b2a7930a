#include "cli/terminal.h"

#include <io.h>

namespace krt460::cli {

bool IsTerminal(std::FILE* stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

} // namespace krt460::cli
