#include "cli/capture_session.h"

#include "cli/console.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <thread>

namespace krt460::cli {

Progress::Progress(bool enabled) : live_(enabled && IsTerminal(stderr)) {}

Progress::~Progress() {
    if (shown_) {
        std::fputc('\n', stderr);
    }
}

void Progress::Update(unsigned count) {
    if (live_ && (!shown_ || count != lastCount_)) {
        std::fprintf(stderr, "\r%5u / %zu bytes", count, kFrameLength);
        std::fflush(stderr);
        shown_ = true;
        lastCount_ = count;
    }
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

void WarnOfLineErrors(const LineErrors& errors, const std::string& what) {
    if (errors.Total() == 0) {
        return;
    }
    std::cerr << "warning: " << what << ": " << errors.Total() << " transmission errors (framing "
              << errors.framing << ", parity " << errors.parity << ", overrun " << errors.overrun
              << ", break " << errors.breaks
              << "): check that the instrument sends 9600 baud, 8N1\n";
}

} // namespace krt460::cli
