#include "cli/receive_command.h"

#include "cli/capture_session.h"
#include "settings/settings_file.h"

#include <filesystem>
#include <iostream>

namespace krt460::cli {

std::string PortOrDefault(const std::string& port) {
    return port.empty() ? CSettingsFile::LoadSettings(kSettingsFileName).portName : port;
}

std::string WithoutExtension(const std::string& path) {
    const std::filesystem::path p(path);
    return p.has_extension() ? (p.parent_path() / p.stem()).string() : path;
}

ExitCode RunReceive(const ReceiveOptions& options) {
    const std::string port = PortOrDefault(options.port);
    CCaptureBuffer& capture = CCaptureBuffer::Instance();
    ConsoleOwner owner(true);
    CSerialReceiver receiver(owner);
    const InterruptGuard interruptGuard;

    std::cerr << "Port: " << port << " (" << SerialDeviceName(port) << ")\n";
    receiver.StartReceive(port);
    if (const std::string message = owner.TakeMessage(); !message.empty()) {
        std::cerr << "error: " << message << " " << receiver.LastOpenError().Describe() << '\n';
        return kExitFailure;
    }
    WaitOptions wait;
    if (options.timeoutSeconds > 0) {
        wait.stallTimeout =
            std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
    }
    const CaptureEnd end = WaitForCapture(receiver, capture, wait);
    const std::size_t count = capture.Count();
    std::cerr << "Received " << count << " / " << kFrameLength << " bytes\n";

    if (end == CaptureEnd::Interrupted) {
        std::cerr << "Interrupted: port closed, nothing written\n";
        return kExitInterrupted;
    }
    std::string error;
    if (end == CaptureEnd::Stalled) {
        std::cerr << "error: no data for " << options.timeoutSeconds << " s on " << port
                  << "; the port is released and no picture written";
        if (count == 0) {
            std::cerr << " (is the instrument connected and printing? --timeout waits longer)\n";
            return kExitStalled;
        }
        const std::string partial = WithoutExtension(options.output) + ".partial.bin";
        if (!WriteCapturedBytes(capture, count, partial, error)) {
            std::cerr << "\nerror: cannot write '" << partial << "': " << error << '\n';
            return kExitFailure;
        }
        std::cerr << "; the bytes so far are in " << partial << '\n';
        return kExitStalled;
    }
    if (owner.EndMarkerSeen()) {
        std::cerr << "Lamp: red (hardcopy with end marker received)\n";
    }
    if (!options.raw.empty()) {
        if (!WriteCapturedBytes(capture, count, options.raw, error)) {
            std::cerr << "error: cannot write '" << options.raw << "': " << error << '\n';
            return kExitFailure;
        }
        std::cerr << "Raw bytes: " << options.raw << '\n';
    }
    return DecodeAndWrite(capture, options.output, options.picture, std::cerr);
}

} // namespace krt460::cli
