#include "cli/receive_command.h"

#include "cli/capture_session.h"
#include "cli/console.h"
#include "cli/output_files.h"

#include <filesystem>
#include <iostream>

namespace krt460::cli {

namespace fs = std::filesystem;

ExitCode RunReceive(const ReceiveOptions& options) {
    // Every place a file will go is checked before the port opens: a print must never be
    // received only to be lost.
    const std::string partial = PartialFileName(options.output);
    if ((options.raw == "-" && options.output == "-") || SamePath(options.raw, options.output)) {
        std::cerr << "error: --raw and -o name the same file '" << options.raw << "'\n";
        return kExitUsage;
    }
    if (SamePath(options.raw, partial)) {
        std::cerr << "error: --raw names the same file '" << options.raw
                  << "' as a capture cut short would be kept in; choose another name\n";
        return kExitUsage;
    }
    for (const std::string& path : {options.output, options.raw, partial}) {
        if (const std::string problem = path.empty() ? "" : OutputProblem(path); !problem.empty()) {
            std::cerr << "error: cannot write '" << path << "': " << problem << '\n';
            return kExitFailure;
        }
    }
    const std::string& port = options.port;
    PrintQueue prints;
    CSerialReceiver receiver(prints);
    const SignalGuard signalGuard;

    std::cerr << "Port: " << PortLabel(port) << '\n';
    CaptureOptions receiving;
    receiving.stallTimeout = StallTimeout(options.timeoutSeconds);
    const StartResult started = receiver.StartReceive(port, receiving);
    if (started.outcome == StartOutcome::OpenFailed) {
        std::cerr << "error: " << started.error.Describe() << '\n';
        return kExitFailure;
    }
    if (started.outcome == StartOutcome::WorkerFailed) {
        std::cerr << "error: cannot start the receive thread; the port is released\n";
        return kExitFailure;
    }
    std::cerr << "Lamp: green (receiving)\n";
    std::optional<Print> print;
    {
        Progress progress(true);
        const CCaptureBuffer& capture = CCaptureBuffer::Instance();
        while (!(print = prints.Wait(std::chrono::milliseconds(100)))) {
            progress.Update(capture.Count());
            if (SignalGuard::Received() != 0) {
                receiver.Stop(); // hands over what came as a stopped print
            }
        }
        progress.Update(static_cast<unsigned>(print->bytes.size()));
    }
    const std::size_t count = print->bytes.size();
    std::cerr << "Received " << count << " / " << kFrameLength << " bytes\n";
    WarnOfLineErrors(print->lineErrors, "the print");

    if (print->end == CaptureEnd::Stopped) {
        std::cerr << "Interrupted: port closed, nothing written\n";
        return static_cast<ExitCode>(kExitSignalBase + SignalGuard::Received());
    }
    std::string error;
    if (print->end == CaptureEnd::Stalled || print->end == CaptureEnd::PortLost) {
        const bool stalled = print->end == CaptureEnd::Stalled;
        if (stalled) {
            std::cerr << "error: no data for " << options.timeoutSeconds << " s on " << port;
        } else {
            std::cerr << "error: port " << port << " lost (unplugged?) after " << count << " of "
                      << kFrameLength << " bytes";
        }
        std::cerr << "; the port is released and no picture written";
        if (count == 0) {
            std::cerr << (stalled ? " (is the instrument connected and printing? --timeout "
                                    "waits longer)\n"
                                  : "\n");
            return stalled ? kExitStalled : kExitPortLost;
        }
        if (!WriteOutput(partial, print->bytes, error)) {
            std::cerr << "\nerror: cannot write '" << partial << "': " << error << '\n';
            KeepReceivedBytes(options.output, print->bytes);
            return kExitFailure;
        }
        std::cerr << "; the bytes so far are in " << partial << '\n';
        return stalled ? kExitStalled : kExitPortLost;
    }
    if (print->hasEndMarker) {
        std::cerr << "Lamp: red (hardcopy with end marker received)\n";
    }
    // The raw bytes first: they are kept even when the picture cannot be made.
    bool bytesKept = false;
    if (!options.raw.empty()) {
        bytesKept = WriteOutput(options.raw, print->bytes, error);
        if (bytesKept) {
            std::cerr << "Raw bytes: " << options.raw << '\n';
        } else {
            std::cerr << "error: cannot write '" << options.raw << "': " << error << '\n';
        }
    }
    const ExitCode decoded = DecodeAndWrite(print->bytes, print->hasEndMarker, options.output,
                                            options.picture, std::cerr);
    // A file that could not be written after all (the disk filled meanwhile) loses no print,
    // nor does a print that is no hardcopy (a wrong instrument setting shows in its bytes).
    const bool failed = decoded == kExitFailure || (!options.raw.empty() && !bytesKept);
    if ((failed || decoded == kExitNotParsed) && !bytesKept) {
        KeepReceivedBytes(options.output, print->bytes);
    }
    return failed ? kExitFailure : decoded;
}

} // namespace krt460::cli
