#include "cli/listen_command.h"

#include "cli/capture_session.h"
#include "cli/console.h"
#include "cli/output_files.h"
#include "keep/capture_keeper.h"

#include <chrono>
#include <cstdlib>
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
        keeper.hold = true; // nobody may be there to free the disk soon
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
    // Says what became of a print.
    void Tell(const Kept& kept);
    // Writes the held prints if the folder takes them again; says so once all are written.
    void RetryHeld();
    // One last try for held prints at the end: those still held end listen with a failure.
    ExitCode Finish(ExitCode status);

    const ListenOptions& options_;
    const std::string port_;
    CaptureOptions receiving_;
    CCaptureKeeper keeper_;
    PrintQueue prints_;
    CSerialReceiver receiver_{prints_};
    bool listening_ = false;
    bool holding_ = false;     // prints wait for the folder
    bool toldBeyond_ = false;  // more came than are held in memory
    bool toldLost_ = false;    // a print was lost: the rescue folder holds its most
    unsigned heldWritten_ = 0; // since holding began
    std::chrono::steady_clock::time_point nextRetry_;
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

void Listener::Tell(const Kept& kept) {
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
    case KeptAs::Held:
        if (!holding_) {
            holding_ = true;
            nextRetry_ = std::chrono::steady_clock::now() + kHeldRetryInterval;
            std::cerr << "warning: cannot write a print into '" << options_.dir
                      << "': " << kept.error << "; holding prints and trying again every "
                      << kHeldRetryInterval.count() << " s, "
                      << (kept.rescued.empty() ? "no copy could be made in " : "copies in ")
                      << keeper_.Options().rescueDir << '\n';
        }
        return;
    case KeptAs::NotWritten:
        if (kept.rescueFull) {
            if (!toldLost_) {
                toldLost_ = true;
                std::cerr << "error: cannot write a print into '" << options_.dir << "' ("
                          << kept.error << ") nor copy it into " << keeper_.Options().rescueDir
                          << ", which holds " << (kRescueBytesLimit >> 20)
                          << " MiB of copies, the most it may: this print and further ones are "
                             "lost until the folder takes files\n";
            }
        } else if (kept.rescued.empty()) {
            std::cerr << "error: cannot write a print into '" << options_.dir << "' (" << kept.error
                      << ") nor keep its bytes in " << keeper_.Options().rescueDir
                      << ": it is lost\n";
        } else if (!toldBeyond_) {
            toldBeyond_ = true;
            std::cerr << "error: holding " << (kHeldBytesLimit >> 20)
                      << " MiB of prints, the most it holds; further ones are kept only in "
                      << keeper_.Options().rescueDir << '\n';
        }
        return;
    }
    if (!kept.file.empty() || kept.as == KeptAs::Stray) {
        WarnOfLineErrors(kept.lineErrors, kept.file.empty() ? "the stray bytes" : kept.file);
    }
}

void Listener::RetryHeld() {
    for (const Kept& kept : keeper_.Retry()) {
        Tell(kept);
        ++heldWritten_;
    }
    if (keeper_.Held() > 0) {
        nextRetry_ = std::chrono::steady_clock::now() + kHeldRetryInterval;
        return;
    }
    std::cerr << "Caught up: " << heldWritten_
              << (heldWritten_ == 1 ? " held print" : " held prints") << " written into "
              << options_.dir
              << (toldBeyond_ ? "; those beyond them stay in " + keeper_.Options().rescueDir : "")
              << '\n';
    holding_ = toldBeyond_ = toldLost_ = false;
    heldWritten_ = 0;
}

ExitCode Listener::Finish(ExitCode status) {
    if (!holding_) {
        return status;
    }
    RetryHeld();
    if (const std::size_t held = keeper_.Held(); held > 0) {
        const std::size_t lost = keeper_.HeldWithoutCopy();
        std::cerr << "error: " << held << (held == 1 ? " print" : " prints")
                  << " could not be written into '" << options_.dir << "'; copies in "
                  << keeper_.Options().rescueDir;
        if (lost > 0) {
            std::cerr << " (" << lost << " of them without one: lost)";
        }
        std::cerr << '\n';
        return kExitFailure;
    }
    return status;
}

ExitCode Listener::Run() {
    std::error_code error;
    if (fs::exists(options_.dir, error) && !fs::is_directory(options_.dir, error)) {
        std::cerr << "error: cannot use folder '" << options_.dir << "': not a folder\n";
        return kExitFailure;
    }
    // A folder that is there is checked before the port opens: opening it raises DTR and RTS,
    // which may start a print that could then not be kept. Whether there is room is not asked
    // (an empty test write): a print that does not fit is held, and a full disk at a restart
    // must not keep the port closed.
    if (fs::is_directory(options_.dir, error)) {
        if (const std::string problem = OutputProblem((fs::path(options_.dir) / "x").string(), 0);
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
    if (const std::string problem = OutputProblem((fs::path(options_.dir) / "x").string(), 0);
        !problem.empty()) {
        std::cerr << "error: cannot use folder '" << options_.dir
                  << "': " << (error ? error.message() : problem) << '\n';
        return kExitFailure;
    }
    std::cerr << "Listening on " << PortLabel(port_) << ", pictures in " << options_.dir
              << "; Ctrl-C ends\n";
    // The service's runtime directory is this instance's own: what lies there, a listen before
    // it (a restart, an upgrade) held and could not write. A shared temporary folder is left.
    if (const char* own = std::getenv("RUNTIME_DIRECTORY"); own != nullptr && *own != '\0') {
        if (const std::size_t taken = keeper_.TakeUp(); taken > 0) {
            std::cerr << "Took up " << taken << (taken == 1 ? " held print" : " held prints")
                      << " from " << keeper_.Options().rescueDir << '\n';
            holding_ = true;
            nextRetry_ = std::chrono::steady_clock::now();
        }
    }
    listening_ = true;
    bool portGone = false;
    for (;;) {
        const std::optional<Print> print = prints_.Wait(std::chrono::milliseconds(100));
        if (holding_ && std::chrono::steady_clock::now() >= nextRetry_) {
            RetryHeld();
        }
        if (!print) {
            if (SignalGuard::Received() != 0) {
                receiver_.Stop(); // hands over a print it cuts off as a stopped one
            } else if (portGone && receiver_.PortPresent()) {
                std::cerr << "Port " << port_ << " back: listening again\n";
                portGone = false;
            }
            continue;
        }
        Tell(keeper_.Keep(*print));
        if (print->end == CaptureEnd::Stopped) {
            // Between prints a signal is the normal end; a print it cut off ends with the signal.
            return Finish(print->stray || print->bytes.empty()
                              ? kExitOk
                              : static_cast<ExitCode>(kExitSignalBase + SignalGuard::Received()));
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
    if (counts.lost > 0) {
        std::cerr << "; " << prints(counts.lost) << " lost, neither written nor copied";
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
