#pragma once

#include <cstdio>

namespace krt460::cli {

// True when the stream is shown on a terminal, where a progress line may be redrawn in place.
bool IsTerminal(std::FILE* stream);

// Standard input as raw bytes: a hardcopy piped in must not be translated on any platform.
void MakeStdinBinary();

} // namespace krt460::cli
