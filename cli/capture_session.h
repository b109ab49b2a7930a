#pragma once

#include "capture/serial_receiver.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <utility>

namespace krt460::cli {

// The console stands in for the main window: lamp changes become lines on stderr, and the
// message of a failed open is kept for the caller to report with its reason.
class ConsoleOwner : public IReceiverOwner {
public:
    explicit ConsoleOwner(bool verbose) : verbose_(verbose) {}
    void ShowMessage(const std::string& text) override { message_ = text; }
    void SetLamp(LampState state) override;
    void StoreLampAndRepaint(LampState state) override { workerLamp_.store(state); }

    // The message of the last failed open, cleared by TakeMessage.
    std::string TakeMessage() { return std::exchange(message_, {}); }
    bool EndMarkerSeen() const { return workerLamp_.load() == LampState::Received; }
    void ForgetEndMarker() { workerLamp_.store(LampState::Receiving); }

private:
    bool verbose_;
    std::string message_;
    std::atomic<LampState> workerLamp_{LampState::Receiving};
};

// Ctrl-C while it lives sets a flag instead of ending the process, so that the port is closed
// and nothing half-written is left behind.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    static bool Interrupted();

private:
    void (*previous_)(int);
};

enum class CaptureEnd { Complete, Stalled, Interrupted };

struct WaitOptions {
    // Ends the capture when no byte has arrived for this long; nothing: wait for ever.
    std::optional<std::chrono::milliseconds> stallTimeout;
    // Whether the stall timeout runs before the first byte too.
    bool timeoutBeforeFirstByte = true;
    bool progress = true; // a live byte count on a terminal
};

// Waits for a started capture to end; a stalled or interrupted one is stopped, its port closed.
CaptureEnd WaitForCapture(CSerialReceiver& receiver, const CCaptureBuffer& capture,
                          const WaitOptions& options);

} // namespace krt460::cli
