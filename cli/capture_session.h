#pragma once

#include "capture/serial_receiver.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace krt460::cli {

// The console stands in for the main window: lamp changes become lines on stderr when verbose,
// and what the worker stores is kept for the waiting command.
class ConsoleOwner : public IReceiverOwner {
public:
    explicit ConsoleOwner(bool verbose) : verbose_(verbose) {}
    void SetLamp(LampState state) override;
    void StoreLampAndRepaint(LampState state) override { workerLamp_.store(state); }

    bool EndMarkerSeen() const { return workerLamp_.load() == LampState::Received; }
    void ForgetEndMarker() { workerLamp_.store(LampState::Receiving); }

private:
    bool verbose_;
    std::atomic<LampState> workerLamp_{LampState::Receiving};
};

enum class SessionEnd { Complete, Stalled, PortLost, Interrupted };

struct WaitOptions {
    // Ends the capture when no byte has arrived for this long; nothing: wait for ever.
    std::optional<std::chrono::milliseconds> stallTimeout;
    // Whether the stall timeout runs before the first byte too.
    bool timeoutBeforeFirstByte = true;
    bool progress = true; // a live byte count on a terminal
};

// --timeout in seconds as a stall timeout; 0 waits for ever.
std::optional<std::chrono::milliseconds> StallTimeout(double seconds);

// Waits for a started capture to end; a stalled or interrupted one is stopped, its port closed.
SessionEnd WaitForCapture(CSerialReceiver& receiver, const CCaptureBuffer& capture,
                          const WaitOptions& options);

// Sleeps for `duration` unless a signal arrives first; false when one did.
bool SleepUnlessSignalled(std::chrono::milliseconds duration);

// "COM1 (/dev/ttyS0)", or just the name when it is the device.
std::string PortLabel(const std::string& port);

} // namespace krt460::cli
