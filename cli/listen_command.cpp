#include "cli/listen_command.h"

#include "cli/capture_session.h"
#include "cli/console.h"
#include "cli/output_files.h"
#include "common/capture_keeper.h"

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
    explicit Listener(const ListenOptions& options)
        : options_(options), port_(options.port), keeper_(KeeperFor(options)) {
        receiving_.mode = ReceiveMode::EveryPrint;
        receiving_.stallTimeout = StallTimeout(options.timeoutSeconds);
        receiving_.reconnect = true;
    }

    ExitCode Run();
    void PrintSummary() const;

private:
    static KeeperOptions KeeperFor(const ListenOptions& options) {
        KeeperOptions keeper;
        keeper.dir = options.dir;
        keeper.port = options.port;
        keeper.border = options.picture.border;
        keeper.rawBesidePicture = options.raw;
        keeper.pictureExtension = PictureExtension(options.picture);
        keeper.encodePicture = [picture = options.picture](const CScreenImage& image,
                                                           std::vector<std::uint8_t>& bytes,
                                                           std::string& error) {
            return EncodePicture(image, PictureExtension(picture), picture, bytes, error);
        };
        return keeper;
    }

    // Opens the port, trying again every kRetryInterval while `retry` (telling the first
    // failure); false when a signal came first or (without retry) the open failed.
    bool Arm(bool retry);
    // Says what became of a print; false when it could not be written.
    bool Tell(const Kept& kept);

    const ListenOptions& options_;
    const std::string port_;
    CaptureOptions receiving_;
    CCaptureKeeper keeper_;
    PrintQueue prints_;
    CSerialReceiver receiver_{prints_};
    bool listening_ = false;
};

bool Listener::Arm(bool retry) {
    bool told = false;
    for (;;) {
        const StartResult started = receiver_.StartReceive(port_, receiving_);
        if (started.outcome == StartOutcome::Started) {
            return true;
        }
        const std::string why = started.outcome == StartOutcome::OpenFailed
                                    ? started.error.Describe()
                                    : "cannot start the receive thread";
        // A wrong port at the start is an error; a thread that could not start is waited for;
        // with --wait-for-port, so is a port not there yet.
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

bool Listener::Tell(const Kept& kept) {
    const std::string bytes = std::to_string(kept.bytes) + " bytes";
    switch (kept.as) {
    case KeptAs::Nothing:
        break;
    case KeptAs::Stray:
        std::cerr << "Ignored " << kept.bytes << (kept.bytes == 1 ? " stray byte" : " stray bytes")
                  << " outside a print\n";
        break;
    case KeptAs::Picture:
        Report(kept.file, kept.markerMissing ? "end marker missing" : "end marker present");
        break;
    case KeptAs::Raw:
        Report(kept.file, "not a hardcopy, no picture");
        break;
    case KeptAs::Partial: {
        const char* why = "incomplete print";
        if (kept.end == CaptureEnd::Stalled) {
            why = "stalled";
        } else if (kept.end == CaptureEnd::PortLost) {
            why = "port lost";
        } else if (kept.end == CaptureEnd::Stopped) {
            why = "interrupted";
        }
        Report(kept.file, std::string(why) + " after " + bytes + ", no picture");
        break;
    }
    case KeptAs::NotWritten:
        std::cerr << "error: cannot write a print into '" << options_.dir << "': " << kept.error
                  << '\n';
        if (kept.rescued.empty()) {
            std::cerr << "error: the received bytes could not be kept either\n";
        } else {
            std::cerr << "The received bytes are kept in " << kept.rescued << '\n';
        }
        return false;
    }
    if (!kept.file.empty() || kept.as == KeptAs::Stray) {
        WarnOfLineErrors(kept.lineErrors, kept.file.empty() ? "the stray bytes" : kept.file);
    }
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
    listening_ = true;
    bool portGone = false;
    for (;;) {
        const std::optional<Print> print = prints_.Wait(std::chrono::milliseconds(100));
        if (!print) {
            if (SignalGuard::Received() != 0) {
                receiver_.Stop(); // hands over a print it cuts off as a stopped one
            } else if (portGone && receiver_.PortPresent()) {
                std::cerr << "Port " << port_ << " back: listening again\n";
                portGone = false;
            }
            continue;
        }
        if (!Tell(keeper_.Keep(*print))) {
            // Files cannot be written here: what has arrived meanwhile is kept elsewhere.
            receiver_.Stop();
            while (const std::optional<Print> left = prints_.Wait(std::chrono::milliseconds(0))) {
                if (!left->stray && !left->bytes.empty()) {
                    std::string why;
                    const std::string kept = KeepInTemporaryFolder(left->bytes, why);
                    std::cerr << (kept.empty() ? "error: a print could not be kept: " + why
                                               : "A print is kept in " + kept)
                              << '\n';
                }
            }
            return kExitFailure;
        }
        if (print->end == CaptureEnd::Stopped) {
            // Between prints a signal is the normal end; a print it cut off ends with the signal.
            return print->stray || print->bytes.empty()
                       ? kExitOk
                       : static_cast<ExitCode>(kExitSignalBase + SignalGuard::Received());
        }
        if (print->end == CaptureEnd::PortLost && !portGone) {
            std::cerr << "Port " << port_ << " lost, waiting for it to come back\n";
            portGone = true;
        }
    }
}

void Listener::PrintSummary() const {
    if (!listening_) {
        return; // nothing began: the error said it all
    }
    const CCaptureKeeper::Counts& counts = keeper_.Counted();
    const auto prints = [](unsigned n) {
        return std::to_string(n) + (n == 1 ? " print" : " prints");
    };
    std::cerr << counts.pictures << (counts.pictures == 1 ? " picture" : " pictures") << " written";
    if (counts.unreadable > 0) {
        std::cerr << "; " << prints(counts.unreadable) << " that could not be decoded kept as .bin";
    }
    if (counts.partial > 0) {
        std::cerr << "; " << prints(counts.partial) << " cut short kept as .partial.bin";
    }
    std::cerr << '\n';
}

} // namespace

ExitCode RunListen(const ListenOptions& options) {
    Listener listener(options);
    const ExitCode status = listener.Run();
    listener.PrintSummary();
    return status;
}

} // namespace krt460::cli
