#include "cli/capture_session.h"

#include "cli/console.h"

#include <csignal>
#include <cstdio>
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

InterruptGuard::InterruptGuard() : previous_(std::signal(SIGINT, OnInterrupt)) {
    interrupted.store(false);
}

InterruptGuard::~InterruptGuard() {
    std::signal(SIGINT, previous_);
}

bool InterruptGuard::Interrupted() {
    return interrupted.load();
}

CaptureEnd WaitForCapture(CSerialReceiver& receiver, const CCaptureBuffer& capture,
                          const WaitOptions& options) {
    using Clock = std::chrono::steady_clock;
    Progress progress(capture, options.progress);
    unsigned lastCount = capture.Count();
    auto lastChange = Clock::now();
    while (!receiver.WaitUntilFinished(std::chrono::milliseconds(100))) {
        if (InterruptGuard::Interrupted()) {
            receiver.Stop();
            return CaptureEnd::Interrupted;
        }
        const unsigned count = capture.Count();
        if (count != lastCount) {
            lastCount = count;
            lastChange = Clock::now();
        }
        const bool timing = count > 0 || options.timeoutBeforeFirstByte;
        if (options.stallTimeout && timing && Clock::now() - lastChange >= *options.stallTimeout) {
            receiver.Stop();
            return CaptureEnd::Stalled;
        }
        progress.Update();
    }
    progress.Update();
    return CaptureEnd::Complete;
}

} // namespace krt460::cli
