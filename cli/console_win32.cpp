#include "cli/console.h"

#include <fcntl.h>
#include <io.h>

namespace krt460::cli {

bool IsTerminal(std::FILE* stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

void MakeStdinBinary() {
    ::_setmode(::_fileno(stdin), _O_BINARY);
}

} // namespace krt460::cli
