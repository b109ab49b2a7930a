#include "cli/hardcopy.h"
#include "cli/receive_command.h"
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
    // "/path" is a file name on every platform, never an option.
    app.allow_windows_style_options(false);

    DecodeOptions decode;
    CLI::App* decodeCommand = app.add_subcommand(
        "decode", "Turn a recorded hardcopy into a 160 x 160 monochrome BMP.\n"
                  "Only the first 3328 bytes count, as when receiving; a missing end marker is a "
                  "warning. Exit status: 0 written, 1 file error, 2 not a hardcopy (no file "
                  "written).");
    decodeCommand->add_option("INPUT", decode.input, "Recorded hardcopy file")->required();
    decodeCommand->add_option("-o,--output", decode.output, "BMP file to write")->required();

    ReceiveOptions receive;
    CLI::App* receiveCommand = app.add_subcommand(
        "receive",
        "Receive one hardcopy from a serial port (9600 baud, 8N1) and write it as "
        "a BMP.\nThe capture ends after 3328 bytes; Ctrl-C stops it, closes the port and "
        "writes nothing (exit status 130).");
    receiveCommand
        ->add_option("-p,--port", receive.port,
                     "Serial port: a device path such as /dev/ttyUSB0, or COMn for /dev/ttyS<n-1>"
                     " (COM1 is /dev/ttyS0). Default: the port in ./KRT460.ini, else COM1")
        ->type_name("PORT");
    receiveCommand->add_option("-o,--output", receive.output, "BMP file to write")->required();
    receiveCommand->add_option("--raw", receive.raw, "Also keep the received bytes in this file");

    CLI11_PARSE(app, argc, argv);

    if (decodeCommand->parsed()) {
        return RunDecode(decode);
    }
    if (receiveCommand->parsed()) {
        return RunReceive(receive);
    }
    return kExitFailure;
}
