#include "cli/listen_command.h"

#include "cli/capture_session.h"
#include "cli/console.h"
#include "cli/receive_command.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>

namespace krt460::cli {
namespace {

namespace fs = std::filesystem;

// How often a lost or failing port is tried again: at most twice a second.
constexpr std::chrono::milliseconds kRetryInterval{500};

std::string LocalTimeStamp() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::localtime(&now)); // one thread calls it
    return text;
}

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
        // could not start, is waited for.
        if (!retry && started.outcome == StartOutcome::OpenFailed) {
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

bool Listener::KeepPartial(const Print& print, const std::string& why) {
    const std::string partial = UniqueCaptureBase(options_.dir, LocalTimeStamp()) + ".partial.bin";
    std::string error;
    if (!WriteOutput(partial, print.bytes, error)) {
        std::cerr << "error: cannot write '" << partial << "': " << error << '\n';
        return false;
    }
    Report(partial, why + " after " + std::to_string(print.bytes.size()) + " bytes, no picture");
    WarnOfLineErrors(print.lineErrors, partial);
    return true;
}

bool Listener::KeepComplete(const Print& print) {
    const std::string base = UniqueCaptureBase(options_.dir, LocalTimeStamp());
    std::ostringstream log;
    const std::string picture = base + PictureExtension(options_.picture);
    const ExitCode decoded =
        DecodeAndWrite(print.bytes, print.hasEndMarker, picture, options_.picture, log);
    std::string error;
    if ((options_.raw || decoded != kExitOk) && !WriteOutput(base + ".bin", print.bytes, error)) {
        std::cerr << "error: cannot write '" << base << ".bin': " << error << '\n';
        return false;
    }
    if (decoded == kExitNotParsed) {
        ++undecodable_;
        Report(base + ".bin", "not a hardcopy, no picture");
        WarnOfLineErrors(print.lineErrors, base + ".bin");
        return true;
    }
    if (decoded != kExitOk) {
        std::cerr << log.str();
        return false;
    }
    ++pictures_;
    Report(picture, print.hasEndMarker ? "end marker present" : "end marker missing");
    WarnOfLineErrors(print.lineErrors, picture);
    return true;
}

ExitCode Listener::Run() {
    std::error_code error;
    if (fs::exists(options_.dir, error) && !fs::is_directory(options_.dir, error)) {
        std::cerr << "error: cannot use folder '" << options_.dir << "': not a folder\n";
        return kExitFailure;
    }
    const SignalGuard signalGuard;
    if (!Arm(false)) {
        return kExitFailure;
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
            receiver_.Stop();
            return kExitFailure;
        }
        if (print->end == CaptureEnd::Stopped) {
            // Between prints a signal is the normal end; a print it cut off ends with the signal.
            return print->bytes.size() < Print::kShortestUsefulPiece
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

std::string UniqueCaptureBase(const std::string& dir, const std::string& stamp) {
    for (int n = 1;; ++n) {
        const std::string base =
            (fs::path(dir) / (n == 1 ? stamp : stamp + "-" + std::to_string(n))).string();
        bool taken = false;
        for (const char* extension : {".bmp", ".png", ".bin", ".partial.bin"}) {
            taken = taken || fs::exists(base + extension);
        }
        if (!taken) {
            return base;
        }
    }
}

ExitCode RunListen(const ListenOptions& options) {
    Listener listener(options);
    const ExitCode status = listener.Run();
    listener.PrintSummary();
    return status;
}

} // namespace krt460::cli
