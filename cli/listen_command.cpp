#include "cli/listen_command.h"

#include "cli/capture_session.h"
#include "cli/receive_command.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

namespace krt460::cli {
namespace {

namespace fs = std::filesystem;

std::string LocalTimeStamp() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::localtime(&now)); // one thread calls it
    return text;
}

void Report(const std::string& file, const std::string& verdict) {
    std::cout << file << "  " << verdict << std::endl;
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
    const std::string port = PortOrDefault(options.port);
    std::error_code error;
    fs::create_directories(options.dir, error);
    if (!fs::is_directory(options.dir)) {
        std::cerr << "error: cannot use folder '" << options.dir << "': " << error.message()
                  << '\n';
        return kExitFailure;
    }
    CCaptureBuffer& capture = CCaptureBuffer::Instance();
    ConsoleOwner owner(false);
    CSerialReceiver receiver(owner);
    const InterruptGuard interruptGuard;
    WaitOptions wait;
    wait.timeoutBeforeFirstByte = false; // a print may come at any time
    if (options.timeoutSeconds > 0) {
        wait.stallTimeout =
            std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
    }

    std::cerr << "Listening on " << port << " (" << SerialDeviceName(port) << "), pictures in "
              << options.dir << "; Ctrl-C ends\n";
    int captures = 0;
    bool opened = false;
    bool waitingForPort = false;
    while (!InterruptGuard::Interrupted()) {
        owner.ForgetEndMarker();
        receiver.StartReceive(port);
        if (const std::string message = owner.TakeMessage(); !message.empty()) {
            if (!opened) {
                std::cerr << "error: " << message << " " << receiver.LastOpenError().Describe()
                          << '\n';
                return kExitFailure;
            }
            // A port that has worked (an adapter unplugged for a moment) is waited for.
            if (!waitingForPort) {
                std::cerr << "Port lost (" << receiver.LastOpenError().Describe()
                          << "); waiting for it to come back\n";
                waitingForPort = true;
            }
            for (int i = 0; i < 10 && !InterruptGuard::Interrupted(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        if (waitingForPort) {
            std::cerr << "Port back: listening again\n";
        }
        opened = true;
        waitingForPort = false;
        const CaptureEnd end = WaitForCapture(receiver, capture, wait);
        const std::size_t count = capture.Count();
        if (end == CaptureEnd::Interrupted && count == 0) {
            break;
        }
        const std::string base = UniqueCaptureBase(options.dir, LocalTimeStamp());
        std::string writeError;
        if (end != CaptureEnd::Complete) {
            // Nothing is lost: the bytes of a cut-off print are kept.
            const std::string partial = base + ".partial.bin";
            if (!WriteCapturedBytes(capture, count, partial, writeError)) {
                std::cerr << "error: cannot write '" << partial << "': " << writeError << '\n';
                return kExitFailure;
            }
            Report(partial, (end == CaptureEnd::Stalled ? "stalled after " : "interrupted after ") +
                                std::to_string(count) + " bytes, no picture");
            if (end == CaptureEnd::Interrupted) {
                break;
            }
            continue;
        }
        ++captures;
        std::ostringstream log;
        const std::string picture = base + PictureExtension(options.picture);
        const ExitCode decoded = DecodeAndWrite(capture, picture, options.picture, log);
        if ((options.raw || decoded != kExitOk) &&
            !WriteCapturedBytes(capture, count, base + ".bin", writeError)) {
            std::cerr << "error: cannot write '" << base << ".bin': " << writeError << '\n';
            return kExitFailure;
        }
        if (decoded == kExitNotParsed) {
            Report(base + ".bin", "not a hardcopy, no picture");
        } else if (decoded != kExitOk) {
            std::cerr << log.str();
            return decoded;
        } else {
            Report(picture, owner.EndMarkerSeen() ? "end marker present" : "end marker missing");
        }
        if (InterruptGuard::Interrupted()) {
            break;
        }
    }
    std::cerr << captures << (captures == 1 ? " hardcopy" : " hardcopies") << " received\n";
    return kExitOk;
}

} // namespace krt460::cli
