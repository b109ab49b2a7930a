#include "cli/hardcopy.h"

#include <algorithm>
#include <ostream>

namespace krt460::cli {

std::size_t StoreRecording(CCaptureBuffer& capture, std::span<const std::uint8_t> bytes) {
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
                        const PictureOptions& options, std::ostream& log) {
    if (capture.HasEndMarker()) {
        log << "End marker: present\n";
    } else {
        log << "warning: end marker missing (the hardcopy may be incomplete)\n";
    }
    CScreenImage image;
    if (!image.Decode(capture, options.border)) {
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

bool WriteCapturedBytes(const CCaptureBuffer& capture, std::size_t count, const std::string& path,
                        std::string& error) {
    const CaptureBytes bytes = capture.Bytes();
    return WriteOutput(path, std::span(bytes).first(std::min(count, kFrameLength)), error);
}

} // namespace krt460::cli
