#include "cli/hardcopy.h"
#include "version.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

namespace {

using namespace krt460;
using namespace krt460::cli;

struct DecodeOptions {
    std::string input;
    std::string output;
};

ExitCode RunDecode(const DecodeOptions& options) {
    std::ifstream file(options.input, std::ios::binary);
    if (!file) {
        std::cerr << "error: cannot read '" << options.input << "': " << std::strerror(errno)
                  << '\n';
        return kExitFailure;
    }
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(file), {});
    if (file.bad()) {
        std::cerr << "error: cannot read '" << options.input << "'\n";
        return kExitFailure;
    }
    CCaptureBuffer& capture = CCaptureBuffer::Instance();
    const std::size_t stored = StoreRecording(capture, bytes);
    std::cerr << "Read " << bytes.size() << " bytes, stored " << stored << " of " << kFrameLength;
    if (bytes.size() > stored) {
        std::cerr << " (the rest follows a complete frame and is ignored)";
    }
    std::cerr << '\n';
    return DecodeAndWrite(capture, options.output, std::cerr);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"krt460 - fetch and convert the screen of a 160 x 160 dot instrument.\n"
                 "A hardcopy is the 3328-byte stream the instrument sends at 9600 baud."};
    app.set_version_flag("--version", std::string("krt460 ") + KRT460_VERSION);
    app.require_subcommand(1);

    DecodeOptions decode;
    CLI::App* decodeCommand = app.add_subcommand(
        "decode", "Turn a recorded hardcopy into a 160 x 160 monochrome BMP.\n"
                  "Only the first 3328 bytes count, as when receiving; a missing end marker is a "
                  "warning. Exit status: 0 written, 1 file error, 2 not a hardcopy (no file "
                  "written).");
    decodeCommand->add_option("INPUT", decode.input, "Recorded hardcopy file")->required();
    decodeCommand->add_option("-o,--output", decode.output, "BMP file to write")->required();

    CLI11_PARSE(app, argc, argv);

    if (decodeCommand->parsed()) {
        return RunDecode(decode);
    }
    return kExitFailure;
}
