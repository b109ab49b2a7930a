#include "cli/png_writer.h"

namespace krt460::cli {

// Builds without libpng (the Windows cross build) write BMP only.
bool EncodePng(int, int, const std::vector<std::uint8_t>&, std::vector<std::uint8_t>&,
               std::string& error) {
    error = "PNG output is not available in this build; use --format bmp";
    return false;
}

} // namespace krt460::cli
