#include "cli/receive_command.h"

#include "capture/serial_receiver.h"
#include "cli/terminal.h"
#include "settings/settings_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace krt460::cli {
namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
    interrupted.store(true);
}

const char* LampText(LampState state) {
    switch (state) {
    case LampState::Idle:
        return "yellow (idle)";
    case LampState::Receiving:
        return "green (receiving)";
    case LampState::Received:
        return "red (hardcopy with end marker received)";
    }
    return "?";
}

// The console stands in for the main window: messages and lamp changes become lines on stderr.
class ConsoleOwner : public IReceiverOwner {
public:
    void ShowMessage(const std::string& text) override { message_ = text; }
    void SetLamp(LampState state) override { std::cerr << "Lamp: " << LampText(state) << '\n'; }
    void StoreLampAndRepaint(LampState state) override { received_.store(state); }

    const std::string& Message() const { return message_; }
    LampState WorkerLamp() const { return received_.load(); }

private:
    std::string message_;
    std::atomic<LampState> received_{LampState::Receiving};
};

class Progress {
public:
    explicit Progress(const CCaptureBuffer& capture)
        : capture_(capture), onTerminal_(IsTerminal(stderr)) {}

    void Update() {
        const unsigned count = capture_.Count();
        if (onTerminal_ && count != shown_) {
            std::fprintf(stderr, "\r%5u / %zu bytes", count, kFrameLength);
            std::fflush(stderr);
            shown_ = count;
        }
    }
    void Finish() {
        if (onTerminal_ && shown_ != kNothingShown) {
            std::fputc('\n', stderr);
        }
        std::fprintf(stderr, "Received %u / %zu bytes\n", unsigned{capture_.Count()}, kFrameLength);
    }

private:
    static constexpr unsigned kNothingShown = ~0u;
    const CCaptureBuffer& capture_;
    const bool onTerminal_;
    unsigned shown_ = kNothingShown;
};

bool WriteRaw(const CCaptureBuffer& capture, const std::string& path) {
    const CaptureBytes bytes = capture.Bytes();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const std::size_t count = std::min<std::size_t>(capture.Count(), kFrameLength);
    const bool written = std::fwrite(bytes.data(), 1, count, file) == count;
    return (std::fclose(file) == 0) && written;
}

} // namespace

ExitCode RunReceive(const ReceiveOptions& options) {
    const std::string port = options.port.empty()
                                 ? CSettingsFile::LoadSettings(kSettingsFileName).portName
                                 : options.port;
    CCaptureBuffer& capture = CCaptureBuffer::Instance();
    ConsoleOwner owner;
    CSerialReceiver receiver(owner);

    interrupted.store(false);
    const auto previousHandler = std::signal(SIGINT, OnInterrupt);
    std::cerr << "Port: " << port << " (" << SerialDeviceName(port) << ")\n";
    receiver.StartReceive(port);
    if (!owner.Message().empty()) {
        std::signal(SIGINT, previousHandler);
        std::cerr << "error: " << owner.Message() << " " << receiver.LastOpenError().Describe()
                  << '\n';
        return kExitFailure;
    }

    Progress progress(capture);
    while (!receiver.WaitUntilFinished(std::chrono::milliseconds(100))) {
        if (interrupted.load()) {
            receiver.Stop(); // closes the port before anything else happens
            std::signal(SIGINT, previousHandler);
            progress.Finish();
            std::cerr << "Interrupted: port closed, nothing written\n";
            return kExitInterrupted;
        }
        progress.Update();
    }
    std::signal(SIGINT, previousHandler);
    progress.Update();
    progress.Finish();
    if (owner.WorkerLamp() == LampState::Received) {
        std::cerr << "Lamp: " << LampText(LampState::Received) << '\n';
    }
    if (!options.raw.empty()) {
        errno = 0;
        if (!WriteRaw(capture, options.raw)) {
            std::cerr << "error: cannot write '" << options.raw << "': " << std::strerror(errno)
                      << '\n';
            return kExitFailure;
        }
        std::cerr << "Raw bytes: " << options.raw << '\n';
    }
    return DecodeAndWrite(capture, options.output, std::cerr);
}

} // namespace krt460::cli
