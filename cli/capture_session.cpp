#include "cli/capture_session.h"

#include "cli/console.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <thread>

namespace krt460::cli {
namespace {

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

// A byte count redrawn in place on a terminal; elsewhere only the final count is printed.
class Progress {
public:
    Progress(const CCaptureBuffer& capture, bool enabled)
        : capture_(capture), live_(enabled && IsTerminal(stderr)) {}
    ~Progress() {
        if (shown_) {
            std::fputc('\n', stderr);
        }
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Update() {
        const unsigned count = capture_.Count();
        if (live_ && (!shown_ || count != lastCount_)) {
            std::fprintf(stderr, "\r%5u / %zu bytes", count, kFrameLength);
            std::fflush(stderr);
            shown_ = true;
            lastCount_ = count;
        }
    }

private:
    const CCaptureBuffer& capture_;
    const bool live_;
    bool shown_ = false;
    unsigned lastCount_ = 0;
};

} // namespace

void ConsoleOwner::SetLamp(LampState state) {
    if (verbose_) {
        std::cerr << "Lamp: " << LampText(state) << '\n';
    }
}

std::optional<std::chrono::milliseconds> StallTimeout(double seconds) {
    if (seconds <= 0) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

bool SleepUnlessSignalled(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (SignalGuard::Received() == 0) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return false;
}

std::string PortLabel(const std::string& port) {
    const std::string device = SerialDeviceName(port);
    return device.empty() || device == port ? port : port + " (" + device + ")";
}

SessionEnd WaitForCapture(CSerialReceiver& receiver, const CCaptureBuffer& capture,
                          const WaitOptions& options) {
    using Clock = std::chrono::steady_clock;
    Progress progress(capture, options.progress);
    unsigned lastCount = capture.Count();
    auto lastChange = Clock::now();
    while (!receiver.WaitUntilFinished(std::chrono::milliseconds(100))) {
        if (SignalGuard::Received() != 0) {
            receiver.Stop();
            return SessionEnd::Interrupted;
        }
        const unsigned count = capture.Count();
        if (count != lastCount) {
            lastCount = count;
            lastChange = Clock::now();
        }
        const bool timing = count > 0 || options.timeoutBeforeFirstByte;
        if (options.stallTimeout && timing && Clock::now() - lastChange >= *options.stallTimeout) {
            receiver.Stop();
            return SessionEnd::Stalled;
        }
        progress.Update();
    }
    progress.Update();
    return receiver.LastEnd() == CaptureEnd::PortLost ? SessionEnd::PortLost : SessionEnd::Complete;
}

} // namespace krt460::cli
