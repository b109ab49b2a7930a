#include "cli/listen_command.h"

#include "cli/capture_session.h"
#include "cli/console.h"
#include "cli/output_files.h"
#include "keep/series.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <utility>

namespace krt460::cli {
namespace {

namespace fs = std::filesystem;

void Report(const std::string& file, const std::string& verdict) {
    std::cout << file << "  " << verdict << std::endl;
}

// "cannot use folder 'DIR': why", naming the folder once.
std::string CannotUse(const std::string& dir, const std::string& problem) {
    return problem.rfind("folder '", 0) == 0 ? "cannot use " + problem
                                             : "cannot use folder '" + dir + "': " + problem;
}

std::string Describe(const StartResult& failed) {
    return failed.outcome == StartOutcome::OpenFailed ? failed.error.Describe()
                                                      : "cannot start the receive thread";
}

class Listener {
public:
    explicit Listener(const ListenOptions& options)
        : options_(options), series_(SeriesFor(options)) {}

    ExitCode Run();
    void PrintSummary() const;

private:
    static SeriesOptions SeriesFor(const ListenOptions& options) {
        SeriesOptions series;
        series.port = options.port;
        series.stallTimeout = StallTimeout(options.timeoutSeconds);
        KeeperOptions& keeper = series.keeping;
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
        return series;
    }

    // Says what became of a print, or what happened to the series.
    void Tell(const SeriesOutcome& outcome);
    void TellKept(const Kept& kept);
    // At the end: prints still held end listen with a failure.
    ExitCode Finish(const SeriesOutcome& ended);
    const std::string& RescueDir() const { return series_.Keeping().rescueDir; }

    const ListenOptions& options_;
    CSeries series_;
    bool listening_ = false;
};

void Listener::TellKept(const Kept& kept) {
    switch (kept.as) {
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
        Report(kept.file,
               std::string(why) + " after " + std::to_string(kept.bytes) + " bytes, no picture");
        break;
    }
    default:
        return;
    }
    WarnOfLineErrors(kept.lineErrors, kept.file.empty() ? "the stray bytes" : kept.file);
}

void Listener::Tell(const SeriesOutcome& outcome) {
    const Kept& kept = outcome.kept;
    switch (outcome.event) {
    case SeriesEvent::Kept:
        TellKept(kept);
        break;
    case SeriesEvent::Held:
        if (outcome.tell) {
            std::cerr
                << "warning: cannot write a print into '" << options_.dir << "': " << kept.error
                << "; holding prints and trying again every "
                << std::chrono::duration_cast<std::chrono::seconds>(series_.RetryInterval()).count()
                << " s, " << (kept.rescued.empty() ? "no copy could be made in " : "copies in ")
                << RescueDir() << '\n';
        }
        break;
    case SeriesEvent::NotWritten:
        if (!outcome.tell) {
            break;
        }
        if (kept.rescueFull) {
            std::cerr << "error: cannot write a print into '" << options_.dir << "' (" << kept.error
                      << ") nor copy it into " << RescueDir() << ", which holds "
                      << (kRescueBytesLimit >> 20)
                      << " MiB of copies, the most it may: this print and further ones are "
                         "lost until the folder takes files\n";
        } else if (kept.rescued.empty()) {
            std::cerr << "error: cannot write a print into '" << options_.dir << "' (" << kept.error
                      << ") nor keep its bytes in " << RescueDir() << ": it is lost\n";
        } else {
            std::cerr << "error: holding " << (kHeldBytesLimit >> 20)
                      << " MiB of prints, the most it holds; further ones are kept only in "
                      << RescueDir() << '\n';
        }
        break;
    case SeriesEvent::CaughtUp:
        std::cerr << "Caught up: " << outcome.written
                  << (outcome.written == 1 ? " held print" : " held prints") << " written into "
                  << options_.dir
                  << (outcome.copiesLeft ? "; those beyond them stay in " + RescueDir() : "")
                  << '\n';
        break;
    case SeriesEvent::PortLost:
        std::cerr << "Port " << options_.port << " lost, waiting for it to come back\n";
        break;
    case SeriesEvent::PortBack:
        std::cerr << "Port " << options_.port << " back: listening again\n";
        break;
    case SeriesEvent::Ended:
        break;
    }
}

ExitCode Listener::Finish(const SeriesOutcome& ended) {
    if (ended.stillHeld > 0) {
        std::cerr << "error: " << ended.stillHeld << (ended.stillHeld == 1 ? " print" : " prints")
                  << " could not be written into '" << options_.dir << "'; copies in "
                  << RescueDir();
        if (ended.heldWithoutCopy > 0) {
            std::cerr << " (" << ended.heldWithoutCopy << " of them without one: lost)";
        }
        std::cerr << '\n';
        return kExitFailure;
    }
    // Between prints a signal is the normal end; a print it cut off ends with the signal.
    return ended.cutOff ? static_cast<ExitCode>(kExitSignalBase + SignalGuard::Received())
                        : kExitOk;
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
            std::cerr << "error: " << CannotUse(options_.dir, problem) << '\n';
            return kExitFailure;
        }
    }
    const SignalGuard signalGuard;
    bool told = false;
    bool signalled = false;
    const StartResult started = series_.Start(options_.waitForPort, [&](const StartResult& failed) {
        if (!std::exchange(told, true)) {
            std::cerr << "Waiting for " << PortLabel(options_.port) << " (" << Describe(failed)
                      << ")\n";
        }
        signalled = !SleepUnlessSignalled(kPortRetryInterval);
        return !signalled;
    });
    if (started.outcome != StartOutcome::Started) {
        // While waiting for the port, a signal is the normal end of a service.
        if (signalled) {
            return kExitOk;
        }
        std::cerr << "error: " << Describe(started) << '\n';
        return kExitFailure;
    }
    // The folder is made only once the port is open, so that a wrong port leaves nothing.
    fs::create_directories(options_.dir, error);
    if (const std::string problem = OutputProblem((fs::path(options_.dir) / "x").string(), 0);
        !problem.empty()) {
        std::cerr << "error: "
                  << CannotUse(options_.dir,
                               error ? "folder '" + options_.dir + "': " + error.message()
                                     : problem)
                  << '\n';
        return kExitFailure;
    }
    std::cerr << "Listening on " << PortLabel(options_.port) << ", pictures in " << options_.dir
              << "; Ctrl-C ends\n";
    // The service's runtime directory is this instance's own: what lies there, a listen before
    // it (a restart, an upgrade) held and could not write. A shared temporary folder is left.
    if (const char* own = std::getenv("RUNTIME_DIRECTORY"); own != nullptr && *own != '\0') {
        if (const std::size_t taken = series_.TakeUp(); taken > 0) {
            std::cerr << "Took up " << taken << (taken == 1 ? " held print" : " held prints")
                      << " from " << RescueDir() << '\n';
        }
    }
    listening_ = true;
    for (;;) {
        const std::optional<SeriesOutcome> outcome = series_.Next(std::chrono::milliseconds(100));
        if (!outcome) {
            if (SignalGuard::Received() != 0) {
                series_.Stop(); // hands over a print it cuts off as a stopped one
            }
            continue;
        }
        if (outcome->event == SeriesEvent::Ended) {
            return Finish(*outcome);
        }
        Tell(*outcome);
    }
}

void Listener::PrintSummary() const {
    if (!listening_) {
        return; // nothing began: the error said it all
    }
    const CCaptureKeeper::Counts& counts = series_.Counted();
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
