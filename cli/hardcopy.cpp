#include "cli/hardcopy.h"

#include <ostream>

namespace krt460::cli {

ExitCode DecodeAndWrite(std::span<const std::uint8_t> bytes, bool hasEndMarker,
                        const std::string& outputPath, const PictureOptions& options,
                        std::ostream& log) {
    if (hasEndMarker) {
        log << "End marker: present\n";
    } else {
        log << "warning: end marker missing (the hardcopy may be incomplete)\n";
    }
    CScreenImage image;
    if (!image.Decode(bytes, options.border)) {
        log << "error: the bytes are not a complete hardcopy (twenty bands not found); "
               "no picture written\n";
        return kExitNotParsed;
    }
    log << "Hardcopy: twenty bands decoded\n";
    std::string error;
    if (!WritePicture(image, outputPath, options, error)) {
        log << "error: cannot write '" << outputPath << "': " << error << '\n';
        return kExitFailure;
    }
    log << "Written: " << (outputPath == "-" ? "standard output" : outputPath) << '\n';
    return kExitOk;
}

} // namespace krt460::cli
