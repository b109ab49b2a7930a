#pragma once

#include <cstdio>

namespace krt460::cli {

// True when the stream is shown on a terminal, where a progress line may be redrawn in place.
bool IsTerminal(std::FILE* stream);

} // namespace krt460::cli
