// krt460: the command-line companion of KRT460.exe.
#include "capture/serial_port.h"
#include "cli/console.h"
#include "cli/hardcopy.h"
#include "cli/listen_command.h"
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

const char* const kPortHelp =
    "Serial port: a device path such as /dev/ttyUSB0 or /dev/serial/by-id/..., or COMn for "
    "/dev/ttyS<n-1> (COM1 is /dev/ttyS0). Default: the port in ./KRT460.ini, else COM1";

struct DecodeOptions {
    std::string input;
    std::string output;
    PictureOptions picture;
};

ExitCode RunDecode(const DecodeOptions& options) {
    std::vector<std::uint8_t> bytes;
    if (options.input == "-") {
        MakeStdinBinary();
        bytes.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream file(options.input, std::ios::binary);
        if (!file) {
            std::cerr << "error: cannot read '" << options.input << "': " << std::strerror(errno)
                      << '\n';
            return kExitFailure;
        }
        bytes.assign(std::istreambuf_iterator<char>(file), {});
    }
    CCaptureBuffer& capture = CCaptureBuffer::Instance();
    const std::size_t stored = StoreRecording(capture, bytes);
    std::cerr << "Read " << bytes.size() << " bytes, stored " << stored << " of " << kFrameLength;
    if (bytes.size() > stored) {
        std::cerr << " (the rest follows a complete frame and is ignored)";
    }
    std::cerr << '\n';
    return DecodeAndWrite(capture, options.output, options.picture, std::cerr);
}

ExitCode RunPorts() {
    const std::vector<PortInfo> ports = ListSerialPorts();
    if (ports.empty()) {
        std::cerr << "No serial ports found. Is the adapter plugged in? (dmesg shows what the "
                     "system made of it)\n";
        return kExitFailure;
    }
    for (const PortInfo& port : ports) {
        std::cout << port.name << (port.description.empty() ? "" : "  " + port.description) << '\n';
    }
    return kExitOk;
}

// --format, --scale and --no-border, shared by the commands that write pictures.
void AddPictureOptions(CLI::App* command, PictureOptions& picture) {
    command
        ->add_option_function<std::string>(
            "--format",
            [&picture](const std::string& format) {
                picture.format = format == "png" ? PictureFormat::Png : PictureFormat::Bmp;
            },
            "bmp or png (default: by the output's extension, else bmp)")
        ->check(CLI::IsMember({"bmp", "png"}));
    command->add_option("--scale", picture.scale, "Enlarge each dot to N x N pixels (1 to 8)")
        ->check(CLI::Range(1, 8))
        ->default_val(1);
    command->add_flag_function(
        "--no-border", [&picture](std::int64_t) { picture.border = false; },
        "Leave out the one-pixel black border");
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"krt460 - fetch and convert the screen of a 160 x 160 dot instrument.\n"
                 "A hardcopy is the 3328-byte stream the instrument sends at 9600 baud, 8N1.\n"
                 "Exit status: 0 done, 1 a file or port could not be used, 2 not a hardcopy, "
                 "3 the transfer stalled, 130 interrupted."};
    app.set_version_flag("--version", std::string("krt460 ") + KRT460_VERSION);
    app.require_subcommand(1);
    // "/path" is a file name on every platform, never an option.
    app.allow_windows_style_options(false);

    DecodeOptions decode;
    CLI::App* decodeCommand = app.add_subcommand(
        "decode", "Turn a recorded hardcopy (or raw capture) into a picture.\n"
                  "Only the first 3328 bytes count, as when receiving; a missing end marker is "
                  "a warning.");
    decodeCommand->add_option("INPUT", decode.input, "Recorded hardcopy file, or - for stdin")
        ->required();
    decodeCommand->add_option("-o,--output", decode.output, "Picture file to write")->required();
    AddPictureOptions(decodeCommand, decode.picture);

    ReceiveOptions receive;
    CLI::App* receiveCommand = app.add_subcommand(
        "receive", "Receive one hardcopy from a serial port and write its picture.\n"
                   "Ctrl-C stops the capture, closes the port and writes nothing.");
    receiveCommand->add_option("-p,--port", receive.port, kPortHelp)->type_name("PORT");
    receiveCommand->add_option("-o,--output", receive.output, "Picture file to write")->required();
    receiveCommand->add_option("--raw", receive.raw, "Also keep the received bytes in this file");
    receiveCommand
        ->add_option("--timeout", receive.timeoutSeconds,
                     "End when no byte arrives for this many seconds, keeping the bytes so far in "
                     "OUTPUT.partial.bin (0: wait for ever)")
        ->default_val(10)
        ->check(CLI::NonNegativeNumber);
    AddPictureOptions(receiveCommand, receive.picture);

    ListenOptions listen;
    CLI::App* listenCommand = app.add_subcommand(
        "listen", "Receive hardcopy after hardcopy until Ctrl-C, each into DIR/"
                  "YYYYMMDD-HHMMSS.bmp (-2, -3, ... rather than overwrite) with its raw bytes in "
                  ".bin; one line per capture on stdout.");
    listenCommand->add_option("-p,--port", listen.port, kPortHelp)->type_name("PORT");
    listenCommand->add_option("-d,--dir", listen.dir, "Folder for the pictures (made if missing)")
        ->default_val(".");
    listenCommand->add_flag_function(
        "--no-raw", [&listen](std::int64_t) { listen.raw = false; },
        "Keep no .bin beside the pictures (one that cannot be decoded is kept all the same)");
    listenCommand
        ->add_option("--timeout", listen.timeoutSeconds,
                     "End a started capture when no byte arrives for this many seconds, keeping "
                     "its bytes in .partial.bin (0: wait for ever)")
        ->default_val(10)
        ->check(CLI::NonNegativeNumber);
    AddPictureOptions(listenCommand, listen.picture);

    CLI::App* portsCommand = app.add_subcommand("ports", "List the serial ports present.");

    CLI11_PARSE(app, argc, argv);

    if (decodeCommand->parsed()) {
        return RunDecode(decode);
    }
    if (receiveCommand->parsed()) {
        return RunReceive(receive);
    }
    if (listenCommand->parsed()) {
        return RunListen(listen);
    }
    if (portsCommand->parsed()) {
        return RunPorts();
    }
    return kExitFailure;
}
