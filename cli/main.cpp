// krt460: the command-line companion of KRT460.exe.
#include "capture/serial_port.h"
#include "cli/console.h"
#include "cli/hardcopy.h"
#include "cli/listen_command.h"
#include "cli/man_page.h"
#include "cli/output_files.h"
#include "cli/receive_command.h"
#include "cli/serve_command.h"
#include "settings/settings_file.h"
#include "version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace {

using namespace krt460;
using namespace krt460::cli;

const char* const kPortHelp =
    "Serial port: a device path such as /dev/ttyUSB0, /dev/serial/by-id/... or ./ttyV0, or COMn "
    "for /dev/ttyS<n-1> (COM1 is /dev/ttyS0). Default: the port in ./KRT460.ini, else COM1";

std::string ExitStatusHelp() {
    std::string text = "Exit status:";
    for (const ExitStatusMeaning& exit : kExitStatuses) {
        text += " " + std::to_string(exit.status) + " " + exit.meaning + ";";
    }
    text.back() = '.';
    return text;
}

struct DecodeOptions {
    std::string input;
    std::string output;
    PictureOptions picture;
};

// Reads the bytes a hardcopy has, and no more: an endless stream ends the read as soon as the
// frame is there. `more`: whether further bytes are already there (a writer that stays open, a
// live tty through socat, may never send another, so they are not waited for).
bool ReadHardcopy(const std::string& input, std::vector<std::uint8_t>& bytes, bool& more,
                  std::string& error) {
    std::error_code ignored;
    if (input != "-" && std::filesystem::is_directory(input, ignored)) {
        error = std::strerror(EISDIR);
        return false;
    }
    std::FILE* file = input == "-" ? stdin : std::fopen(input.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    // Unbuffered: the stream must not read ahead of the frame, or the look below would miss
    // bytes it holds.
    std::setvbuf(file, nullptr, _IONBF, 0);
    bytes.resize(kFrameLength);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    const bool failed = std::ferror(file) != 0;
    const int readErrno = errno;
    more = !failed && bytes.size() == kFrameLength && MoreInputThere(file);
    if (file != stdin) {
        std::fclose(file);
    }
    if (failed) {
        error = std::strerror(readErrno);
        return false;
    }
    return true;
}

// Whether the output would replace the input: the file standard input reads, the same file by
// another name (a link), or a path that resolves to the input's (./in.bin, a/../in.bin, also
// where neither exists yet).
bool OutputIsInput(const DecodeOptions& options) {
    if (options.output == "-") {
        return false;
    }
    if (options.input == "-") {
        return IsStandardInput(options.output);
    }
    return SamePath(options.input, options.output);
}

ExitCode RunDecode(const DecodeOptions& options) {
    if (OutputIsInput(options)) {
        std::cerr << "error: the output '" << options.output
                  << "' is the input; choose another name\n";
        return kExitUsage;
    }
    if (const std::string problem = OutputProblem(options.output); !problem.empty()) {
        std::cerr << "error: cannot write '" << options.output << "': " << problem << '\n';
        return kExitFailure;
    }
    std::vector<std::uint8_t> bytes;
    bool more = false;
    std::string error;
    if (!ReadHardcopy(options.input, bytes, more, error)) {
        std::cerr << "error: cannot read '" << options.input << "': " << error << '\n';
        return kExitFailure;
    }
    // Only the first 3328 bytes count, as when receiving; a short recording reads as a capture
    // cut short, zeros after its end.
    if (more) {
        std::cerr << "Read more than " << kFrameLength << " bytes: the first " << kFrameLength
                  << " count, as when receiving; the rest is ignored\n";
    } else {
        std::cerr << "Read " << bytes.size() << " of " << kFrameLength << " bytes\n";
    }
    const bool marker = bytes.size() == kFrameLength && HasEndMarker(bytes.data());
    return DecodeAndWrite(bytes, marker, options.output, options.picture, std::cerr);
}

ExitCode RunPorts() {
    const std::vector<PortInfo> ports = ListSerialPorts();
    if (ports.empty()) {
        std::cerr << "No serial ports found. Is the adapter plugged in? (dmesg shows what the "
                     "system made of it)\n";
        return kExitFailure;
    }
    bool someClosed = false;
    for (const PortInfo& port : ports) {
        std::cout << port.name << (port.description.empty() ? "" : "  " + port.description)
                  << (port.accessible ? "" : "  (no permission)") << '\n';
        someClosed = someClosed || !port.accessible;
    }
    if (someClosed) {
        std::cerr << "You may not open the ports marked \"no permission\". Join the group that "
                     "owns them ("
                  << kPortGroupHint << "), then log in again.\n";
    }
    return kExitOk;
}

// --timeout: seconds from 0 to a day, a finite number.
const CLI::Validator kTimeoutRange(
    [](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || value < 0 ||
            value > 86400) {
            return "takes 0 to 86400 seconds, not '" + text + "'";
        }
        return {};
    },
    "");

// An empty value is no name; it must not fall back to any other meaning (a default port, the
// current folder).
CLI::Validator NonEmpty(const char* what) {
    return CLI::Validator(
        [what](std::string& text) -> std::string {
            return text.empty() ? std::string("needs ") + what + ", not an empty one" : "";
        },
        "");
}
const CLI::Validator kFileName = NonEmpty("a file name");
const CLI::Validator kPortName = NonEmpty("a port name");
const CLI::Validator kFolderName = NonEmpty("a folder");

const CLI::Validator kBindAddress(
    [](std::string& text) -> std::string {
        BindAddress address;
        return ParseBindAddress(text, address)
                   ? ""
                   : "takes ADDR:PORT (127.0.0.1:8460, 0.0.0.0:8460, [::1]:8460), not '" + text +
                         "'";
    },
    "");

// --format, --scale, --border and --no-border, shared by the commands that write pictures.
void AddPictureOptions(CLI::App* command, PictureOptions& picture) {
    command
        ->add_option_function<std::string>(
            "--format",
            [&picture](const std::string& format) {
                picture.format = CLI::detail::to_lower(format) == "png" ? PictureFormat::Png
                                                                        : PictureFormat::Bmp;
            },
            "bmp or png (default: by the output's extension, else bmp)")
        ->check(CLI::IsMember({"bmp", "png"}, CLI::ignore_case))
        ->type_name("FORMAT");
    command->add_option("--scale", picture.scale, "Enlarge each dot to N x N pixels (1 to 8)")
        ->check(CLI::Range(1, 8))
        ->default_val(1)
        ->type_name("N");
    auto* border = command->add_flag_function(
        "--border", [&picture](std::int64_t) { picture.border = true; },
        "Draw the one-pixel black border (default: the flag in ./KRT460.ini, else on)");
    command
        ->add_flag_function(
            "--no-border", [&picture](std::int64_t) { picture.border = false; },
            "Leave out the one-pixel black border")
        ->excludes(border);
}

void AddTimeout(CLI::App* command, double& seconds, const std::string& help) {
    command->add_option("--timeout", seconds, help)
        ->default_val(10)
        ->check(kTimeoutRange)
        ->type_name("SECONDS");
}

int Run(int argc, char** argv) {
    CLI::App app{"krt460 - fetch and convert the screen of a 160 x 160 dot instrument.\n"
                 "A hardcopy is the 3328-byte stream the instrument sends at 9600 baud, 8N1.\n" +
                 ExitStatusHelp()};
    app.set_version_flag("--version", std::string("krt460 ") + KRT460_VERSION);
    // "/path" is a file name on every platform, never an option.
    app.allow_windows_style_options(false);

    // The port and picture options start from KRT460.ini (read once), else COM1 and a border.
    const Settings saved = CSettingsFile::LoadSettings(kSettingsFileName);

    DecodeOptions decode;
    decode.picture.border = saved.border;
    CLI::App* decodeCommand = app.add_subcommand(
        "decode", "Turn a recorded hardcopy (or raw capture) into a picture.\n"
                  "Only the first 3328 bytes count, as when receiving; a missing end marker is "
                  "a warning.");
    decodeCommand->add_option("INPUT", decode.input, "Recorded hardcopy file, or - for stdin")
        ->required()
        ->check(kFileName);
    decodeCommand
        ->add_option("-o,--output", decode.output, "Picture file to write, or - for stdout")
        ->required()
        ->check(kFileName)
        ->type_name("FILE");
    AddPictureOptions(decodeCommand, decode.picture);

    ReceiveOptions receive;
    receive.picture.border = saved.border;
    receive.port = saved.portName;
    CLI::App* receiveCommand = app.add_subcommand(
        "receive", "Receive one hardcopy from a serial port and write its picture.\n"
                   "Ctrl-C stops the capture, closes the port and writes nothing.");
    receiveCommand->add_option("-p,--port", receive.port, kPortHelp)
        ->check(kPortName)
        ->type_name("PORT");
    receiveCommand
        ->add_option("-o,--output", receive.output, "Picture file to write, or - for stdout")
        ->required()
        ->check(kFileName)
        ->type_name("FILE");
    receiveCommand->add_option("--raw", receive.raw, "Also keep the received bytes in this file")
        ->check(kFileName)
        ->type_name("FILE");
    AddTimeout(receiveCommand, receive.timeoutSeconds,
               "End when no byte arrives for this many seconds, keeping the bytes so far in "
               "OUTPUT.partial.bin (0: wait for ever)");
    AddPictureOptions(receiveCommand, receive.picture);

    ListenOptions listen;
    listen.picture.border = saved.border;
    listen.port = saved.portName;
    CLI::App* listenCommand = app.add_subcommand(
        "listen", "Receive hardcopy after hardcopy until Ctrl-C, each into DIR/"
                  "YYYYMMDD-HHMMSS.bmp (-2, -3, ... rather than overwrite) with its raw bytes in "
                  ".bin and its verdict in .json; a print that cannot be decoded is kept as .bin, "
                  "one cut short as .partial.bin. One line per capture on stdout. An unplugged "
                  "port is waited for. Prints whose files cannot be written (a full disk) are "
                  "held, up to 4 MiB, and written once the folder takes files again; a copy of "
                  "each goes at once to $RUNTIME_DIRECTORY, else $TMPDIR, else /tmp.");
    listenCommand->add_option("-p,--port", listen.port, kPortHelp)
        ->check(kPortName)
        ->type_name("PORT");
    listenCommand->add_option("-d,--dir", listen.dir, "Folder for the pictures (made if missing)")
        ->default_val(".")
        ->check(kFolderName)
        ->type_name("DIR");
    listenCommand->add_flag_function(
        "--no-raw", [&listen](std::int64_t) { listen.raw = false; },
        "Keep no .bin beside the pictures (one that cannot be decoded is kept all the same)");
    listenCommand->add_flag("--wait-for-port", listen.waitForPort,
                            "Wait for a port that is not there yet (an adapter not plugged in) "
                            "instead of ending with an error, as the listen service does");
    AddTimeout(listenCommand, listen.timeoutSeconds,
               "End a started capture when no byte arrives for this many seconds, keeping its "
               "bytes in .partial.bin (0: wait for ever)");
    AddPictureOptions(listenCommand, listen.picture);

    CLI::App* portsCommand = app.add_subcommand("ports", "List the serial ports present.");

    ServeOptions serve;
    CLI::App* serveCommand = app.add_subcommand(
        "serve", "Serve a read-only web gallery of the captures in DIR and its direct subfolders "
                 "(one per instrument), updated live as prints arrive; until Ctrl-C. No login: "
                 "for a trusted network, or behind a reverse proxy that asks for one. Linux "
                 "only.");
    serveCommand->add_option("-d,--dir", serve.dir, "Folder of the captures")
        ->required()
        ->check(kFolderName)
        ->type_name("DIR");
    serveCommand
        ->add_option("--bind", serve.bind,
                     "Address and port to listen on: 0.0.0.0:8460 serves the network, "
                     "[::1]:8460 is IPv6")
        ->default_val(serve.bind)
        ->check(kBindAddress)
        ->type_name("ADDR:PORT");

    // The build writes the manual page from these very definitions.
    bool manPage = false;
    app.add_flag("--man-page", manPage)->group("");

    const auto commands = app.get_subcommands([](const CLI::App*) { return true; });
    if (argc > 1 && argv[1][0] != '-' &&
        std::none_of(commands.begin(), commands.end(),
                     [&](const CLI::App* command) { return command->check_name(argv[1]); })) {
        std::cerr << "error: unknown command '" << argv[1] << "' (commands: ";
        for (const CLI::App* command : commands) {
            std::cerr << command->get_name() << (command == commands.back() ? ")\n" : ", ");
        }
        std::cerr << "run krt460 --help\n";
        return kExitUsage;
    }
    try {
        app.require_subcommand(std::any_of(argv + 1, argv + argc,
                                           [](const char* argument) {
                                               return std::string_view(argument) == "--man-page";
                                           })
                                   ? 0
                                   : 1);
        app.parse(argc, argv);
        if (manPage) {
            std::cout << ManPage(app, KRT460_VERSION);
            return kExitOk;
        }
    } catch (const CLI::Success& done) {
        return app.exit(done); // --help, --version
    } catch (const CLI::ParseError& wrong) {
        // An unknown option is the likeliest cause of whatever else went wrong (a mistyped
        // --ouput leaves -o missing; --frob alone, the subcommand), so it is named first.
        const std::vector<std::string> rest = app.remaining(true);
        const auto unknown = std::find_if(rest.begin(), rest.end(), [](const std::string& word) {
            return word.size() > 1 && word[0] == '-';
        });
        std::cerr << "error: "
                  << (unknown != rest.end() ? "unknown option '" + *unknown + "'" : wrong.what())
                  << "\nrun krt460 --help\n";
        return kExitUsage;
    }

    TreatFileSizeLimitAsWriteError();
    if (decodeCommand->parsed() || receiveCommand->parsed()) {
        MakeStdioBinary();
    }
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
    if (serveCommand->parsed()) {
        return RunServe(serve);
    }
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& failure) {
        // The last net: every known failure is reported where it happens.
        std::cerr << "error: " << failure.what() << '\n';
        return kExitFailure;
    }
}
