#include "cli/listen_command.h"

#include "cli/capture_session.h"
#include "cli/console.h"
#include "cli/output_files.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>

namespace krt460::cli {
namespace {

namespace fs = std::filesystem;

// How often a lost or failing port is tried again: at most twice a second.
constexpr std::chrono::milliseconds kRetryInterval{500};

void Report(const std::string& file, const std::string& verdict) {
    std::cout << file << "  " << verdict << std::endl;
}

class Listener {
public:
    explicit Listener(const ListenOptions& options) : options_(options), port_(options.port) {
        receiving_.mode = ReceiveMode::EveryPrint;
        receiving_.stallTimeout = StallTimeout(options.timeoutSeconds);
    }

    ExitCode Run();
    void PrintSummary() const;

private:
    // Opens the port, trying again every kRetryInterval while `retry` (telling the first
    // failure unless `told`); false when a signal came first or (without retry) the open failed.
    bool Arm(bool retry, bool told = false);
    // Keeps what came of a print; false on a file error.
    bool Keep(const Print& print);
    // Says why a print's files could not be written, and keeps its bytes elsewhere if it can.
    void TellWriteFailure(const std::string& error, std::span<const std::uint8_t> bytes) const;
    // Keeps a print cut short; false when the file cannot be written.
    bool KeepPartial(const Print& print, const std::string& why);
    // Writes the picture and raw bytes of a complete print; false on a file error.
    bool KeepComplete(const Print& print);

    const ListenOptions& options_;
    const std::string port_;
    CaptureOptions receiving_;
    PrintQueue prints_;
    CSerialReceiver receiver_{prints_};
    int pictures_ = 0;
    int undecodable_ = 0;
};

bool Listener::Arm(bool retry, bool told) {
    for (;;) {
        const StartResult started = receiver_.StartReceive(port_, receiving_);
        if (started.outcome == StartOutcome::Started) {
            return true;
        }
        const std::string why = started.outcome == StartOutcome::OpenFailed
                                    ? started.error.Describe()
                                    : "cannot start the receive thread";
        // A wrong port at the start is an error; a port that went away, or a thread that
        // could not start, is waited for; with --wait-for-port, so is one not there yet.
        if (!retry && started.outcome == StartOutcome::OpenFailed &&
            !(options_.waitForPort && started.error.absent)) {
            std::cerr << "error: " << why << '\n';
            return false;
        }
        if (!told) {
            std::cerr << "Waiting for " << PortLabel(port_) << " (" << why << ")\n";
            told = true;
        }
        if (!SleepUnlessSignalled(kRetryInterval)) {
            return false;
        }
    }
}

bool Listener::Keep(const Print& print) {
    if (print.bytes.empty()) {
        return true;
    }
    if (print.IsStray()) {
        std::cerr << "Ignored " << print.bytes.size()
                  << (print.bytes.size() == 1 ? " stray byte" : " stray bytes")
                  << " outside a print\n";
        return true;
    }
    switch (print.end) {
    case CaptureEnd::Complete:
        // A whole print, or twenty bands without their marker; anything else was cut short.
        return print.bytes.size() == kFrameLength ? KeepComplete(print)
                                                  : KeepPartial(print, "incomplete print");
    case CaptureEnd::Stalled:
        return KeepPartial(print, "stalled");
    case CaptureEnd::PortLost:
        return KeepPartial(print, "port lost");
    case CaptureEnd::Stopped:
        return KeepPartial(print, "interrupted");
    }
    return true;
}

void Listener::TellWriteFailure(const std::string& error,
                                std::span<const std::uint8_t> bytes) const {
    std::cerr << "error: cannot write a print into '" << options_.dir << "': " << error << '\n';
    KeepReceivedBytes((fs::path(options_.dir) / LocalTimeStamp()).string(), bytes);
}

bool Listener::KeepPartial(const Print& print, const std::string& why) {
    std::string error;
    const std::string base =
        WriteCaptureFiles(options_.dir, LocalTimeStamp(), {{".partial.bin", print.bytes}}, error);
    if (base.empty()) {
        TellWriteFailure(error, print.bytes);
        return false;
    }
    const std::string partial = base + ".partial.bin";
    Report(partial, why + " after " + std::to_string(print.bytes.size()) + " bytes, no picture");
    WarnOfLineErrors(print.lineErrors, partial);
    return true;
}

bool Listener::KeepComplete(const Print& print) {
    CScreenImage image;
    const bool decoded = image.Decode(print.bytes, options_.picture.border);
    const char* pictureExtension = PictureExtension(options_.picture);
    std::vector<std::uint8_t> picture;
    std::string error;
    if (decoded && !EncodePicture(image, pictureExtension, options_.picture, picture, error)) {
        std::cerr << "error: " << error << '\n';
        KeepReceivedBytes((fs::path(options_.dir) / LocalTimeStamp()).string(), print.bytes);
        return false;
    }
    std::vector<CaptureFile> files;
    if (decoded) {
        files.push_back({pictureExtension, picture});
    }
    if (options_.raw || !decoded) {
        files.push_back({".bin", print.bytes});
    }
    const std::string base = WriteCaptureFiles(options_.dir, LocalTimeStamp(), files, error);
    if (base.empty()) {
        TellWriteFailure(error, print.bytes);
        return false;
    }
    if (!decoded) {
        ++undecodable_;
        Report(base + ".bin", "not a hardcopy, no picture");
        WarnOfLineErrors(print.lineErrors, base + ".bin");
        return true;
    }
    ++pictures_;
    Report(base + pictureExtension,
           print.hasEndMarker ? "end marker present" : "end marker missing");
    WarnOfLineErrors(print.lineErrors, base + pictureExtension);
    return true;
}

ExitCode Listener::Run() {
    std::error_code error;
    if (fs::exists(options_.dir, error) && !fs::is_directory(options_.dir, error)) {
        std::cerr << "error: cannot use folder '" << options_.dir << "': not a folder\n";
        return kExitFailure;
    }
    // A folder that is there is checked before the port opens: opening it raises DTR and RTS,
    // which may start a print that could then not be kept.
    if (fs::is_directory(options_.dir, error)) {
        if (const std::string problem = OutputProblem((fs::path(options_.dir) / "x").string());
            !problem.empty()) {
            std::cerr << "error: cannot use folder '" << options_.dir << "': " << problem << '\n';
            return kExitFailure;
        }
    }
    const SignalGuard signalGuard;
    if (!Arm(false)) {
        // While waiting for the port, a signal is the normal end of a service.
        return SignalGuard::Received() != 0 ? kExitOk : kExitFailure;
    }
    // The folder is made only once the port is open, so that a wrong port leaves nothing.
    fs::create_directories(options_.dir, error);
    if (const std::string problem = OutputProblem((fs::path(options_.dir) / "x").string());
        !problem.empty()) {
        std::cerr << "error: cannot use folder '" << options_.dir
                  << "': " << (error ? error.message() : problem) << '\n';
        return kExitFailure;
    }
    std::cerr << "Listening on " << PortLabel(port_) << ", pictures in " << options_.dir
              << "; Ctrl-C ends\n";
    for (;;) {
        const std::optional<Print> print = prints_.Wait(std::chrono::milliseconds(100));
        if (!print) {
            if (SignalGuard::Received() != 0) {
                receiver_.Stop(); // hands over a print it cuts off as a stopped one
            }
            continue;
        }
        if (!Keep(*print)) {
            // Files cannot be written here: what has arrived meanwhile is kept elsewhere.
            receiver_.Stop();
            while (const std::optional<Print> left = prints_.Wait(std::chrono::milliseconds(0))) {
                if (!left->IsStray()) {
                    KeepReceivedBytes((fs::path(options_.dir) / LocalTimeStamp()).string(),
                                      left->bytes);
                }
            }
            return kExitFailure;
        }
        if (print->end == CaptureEnd::Stopped) {
            // Between prints a signal is the normal end; a print it cut off ends with the signal.
            return print->IsStray()
                       ? kExitOk
                       : static_cast<ExitCode>(kExitSignalBase + SignalGuard::Received());
        }
        if (print->end == CaptureEnd::PortLost) {
            std::cerr << "Port " << port_ << " lost, waiting for it to come back\n";
            if (!SleepUnlessSignalled(kRetryInterval) || !Arm(true, true)) {
                return kExitOk;
            }
            std::cerr << "Port " << port_ << " back: listening again\n";
        }
    }
}

void Listener::PrintSummary() const {
    std::cerr << pictures_ << (pictures_ == 1 ? " picture" : " pictures");
    if (undecodable_ > 0) {
        std::cerr << ", " << undecodable_ << " undecodable "
                  << (undecodable_ == 1 ? "print" : "prints");
    }
    std::cerr << " written\n";
}

} // namespace

ExitCode RunListen(const ListenOptions& options) {
    Listener listener(options);
    const ExitCode status = listener.Run();
    listener.PrintSummary();
    return status;
}

} // namespace krt460::cli
