#pragma once

#include "capture/serial_receiver.h"

#include <chrono>
#include <optional>
#include <string>

namespace krt460::cli {

// A byte count redrawn in place on a terminal, for as long as the object lives.
class Progress {
public:
    explicit Progress(bool enabled);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Update(unsigned count);

private:
    const bool live_;
    bool shown_ = false;
    unsigned lastCount_ = 0;
};

// Sleeps for `duration` unless a signal arrives first; false when one did.
bool SleepUnlessSignalled(std::chrono::milliseconds duration);

// "COM1 (/dev/ttyS0)", or just the name when it is the device.
std::string PortLabel(const std::string& port);

// One warning line when the port counted line errors, which a wrong baud rate or a noisy cable
// causes; `what` names the print.
void WarnOfLineErrors(const LineErrors& errors, const std::string& what);

} // namespace krt460::cli
