#include "cli/hardcopy.h"

#include <cerrno>
#include <cstring>
#include <ostream>

namespace krt460::cli {

std::size_t StoreRecording(CCaptureBuffer& capture, const std::vector<std::uint8_t>& bytes) {
    capture.Reset();
    std::size_t stored = 0;
    for (const std::uint8_t byte : bytes) {
        ++stored;
        if (capture.Store(byte)) {
            break; // the receiver stops after the 3328th byte, and so does a recording
        }
    }
    return stored;
}

ExitCode DecodeAndWrite(const CCaptureBuffer& capture, const std::string& outputPath,
                        std::ostream& log) {
    if (capture.HasEndMarker()) {
        log << "End marker: present\n";
    } else {
        log << "warning: end marker missing (the hardcopy may be incomplete)\n";
    }
    CScreenImage image;
    if (!image.ParseBands(capture)) {
        log << "error: the bytes are not a complete hardcopy (twenty bands not found); "
               "nothing written\n";
        return kExitNotParsed;
    }
    log << "Hardcopy: twenty bands decoded\n";
    image.BuildImage();
    image.DrawBorder();
    image.DescribeRows();
    errno = 0;
    if (!image.SaveBitmapFile(outputPath)) {
        log << "error: cannot write '" << outputPath << "': " << std::strerror(errno) << '\n';
        return kExitFailure;
    }
    log << "Written: " << outputPath << '\n';
    return kExitOk;
}

} // namespace krt460::cli
