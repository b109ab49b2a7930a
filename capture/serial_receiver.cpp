#include "capture/serial_receiver.h"

#include <algorithm>
#include <array>
#include <span>
#include <system_error>
#include <utility>

namespace krt460 {

struct CSerialReceiver::Worker {
    std::unique_ptr<SerialPort> port; // read by the worker; reset and cancelled under mutex
    AfterFrame afterFrame = AfterFrame::ClosePort;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool started = false; // the owner has set the lamp; reading may begin
    bool stopRequested = false;
    std::optional<CaptureEnd> end; // set as the worker finishes

    // Waits for `wait` or a stop request; true when stopping.
    bool WaitForStop(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, wait, [this] { return stopRequested; });
    }
    bool StopRequested() {
        const std::lock_guard lock(mutex);
        return stopRequested;
    }
};

CSerialReceiver::CSerialReceiver(IReceiverOwner& owner, CCaptureBuffer& capture,
                                 PortOpener openPort, ThreadLauncher launchThread)
    : owner_(owner), capture_(capture), openPort_(std::move(openPort)),
      launchThread_(std::move(launchThread)) {
    if (!launchThread_) {
        launchThread_ = [](std::function<void()> run) { return std::thread(std::move(run)); };
    }
}

CSerialReceiver::~CSerialReceiver() {
    Stop();
}

StartResult CSerialReceiver::StartReceive(const std::string& portName, AfterFrame afterFrame) {
    // The count restarts even when the open then fails: a worker still reading this port goes
    // on storing from index 0.
    capture_.Reset();
    OpenResult opened = openPort_(portName);
    if (!opened.port) {
        return {StartOutcome::OpenFailed, std::move(opened.error)};
    }
    if (worker_) {
        // A worker on another port (its sender stopped early) or one that has finished: it
        // closes its port before the new capture starts, and whatever it stored after the
        // reset above is discarded by a second one.
        Stop();
        capture_.Reset();
    }
    return Launch(std::move(opened.port), afterFrame);
}

StartResult CSerialReceiver::ReceiveNext() {
    std::unique_ptr<SerialPort> port;
    AfterFrame afterFrame = AfterFrame::KeepPortOpen;
    if (worker_ && WaitUntilFinished(std::chrono::milliseconds(0))) {
        worker_->thread.join();
        port = std::move(worker_->port);
        afterFrame = worker_->afterFrame;
        worker_.reset();
    }
    if (!port) {
        return {StartOutcome::OpenFailed, {"read on", 0, "no port kept open"}};
    }
    capture_.Reset();
    return Launch(std::move(port), afterFrame);
}

StartResult CSerialReceiver::Launch(std::unique_ptr<SerialPort> port, AfterFrame afterFrame) {
    auto worker = std::make_unique<Worker>();
    worker->port = std::move(port);
    worker->afterFrame = afterFrame;
    try {
        worker->thread = launchThread_([this, w = worker.get()] { ReceiveWorker(*w); });
    } catch (const std::system_error&) {
        // No worker: the port closes with `worker`; running and the lamp are not yet changed.
        return {StartOutcome::WorkerFailed, {}};
    }
    worker_ = std::move(worker);
    capture_.SetRunning(true);
    owner_.SetLamp(LampState::Receiving);
    {
        const std::lock_guard lock(worker_->mutex);
        worker_->started = true;
    }
    worker_->changed.notify_all();
    return {};
}

void CSerialReceiver::ReceiveWorker(Worker& worker) {
    {
        std::unique_lock lock(worker.mutex);
        worker.changed.wait(lock, [&] { return worker.started || worker.stopRequested; });
    }
    CaptureEnd end = CaptureEnd::Stopped;
    std::array<std::uint8_t, 64> chunk{};
    while (capture_.IsRunning() && !worker.StopRequested()) {
        // Ask for no more than the frame still needs: the worker stops after the 3328th byte,
        // and a following byte is left for the next frame (or the next Receive's purge).
        const std::size_t needed =
            kFrameLength - std::min<std::size_t>(capture_.Count(), kFrameLength - 1);
        std::size_t got = 0;
        const ReadResult read = worker.port->Read(
            std::span(chunk).first(std::min(needed, chunk.size())), got, kReadWait);
        bool complete = false;
        for (std::size_t i = 0; i < got && !complete; ++i) {
            complete = capture_.Store(chunk[i]);
        }
        if (complete) {
            end = CaptureEnd::Complete;
            break;
        }
        if (read == ReadResult::Lost) {
            end = CaptureEnd::PortLost;
            break;
        }
        if (read == ReadResult::DataAfterWait) {
            worker.WaitForStop(kBurstGather);
        } else if (read == ReadResult::Failed) {
            worker.WaitForStop(kReadWait); // a failing device fails at once; do not spin on it
        }
    }
    if (end != CaptureEnd::Stopped) {
        capture_.SetRunning(false);
    }
    if (end == CaptureEnd::Complete && capture_.HasEndMarker()) {
        owner_.StoreLampAndRepaint(LampState::Received);
    }
    {
        const std::lock_guard lock(worker.mutex);
        if (end != CaptureEnd::Complete || worker.afterFrame == AfterFrame::ClosePort) {
            worker.port.reset();
        }
        worker.end = end;
    }
    worker.changed.notify_all();
}

void CSerialReceiver::Stop() {
    if (!worker_) {
        return;
    }
    {
        const std::lock_guard lock(worker_->mutex);
        worker_->stopRequested = true;
    }
    worker_->changed.notify_all();
    // A driver that ignores the read timeouts keeps the worker in its read: cancel that read
    // until the worker has seen the stop request.
    while (!WaitUntilFinished(std::chrono::milliseconds(50))) {
        const std::lock_guard lock(worker_->mutex);
        if (worker_->port) {
            worker_->port->CancelRead();
        }
    }
    if (worker_->thread.joinable()) {
        worker_->thread.join();
    }
    // A capture that was cut short has no worker reading for it any more.
    capture_.SetRunning(false);
    worker_.reset();
}

bool CSerialReceiver::WaitUntilFinished(std::chrono::milliseconds timeout) {
    if (!worker_) {
        return true;
    }
    std::unique_lock lock(worker_->mutex);
    return worker_->changed.wait_for(lock, timeout, [this] { return worker_->end.has_value(); });
}

bool CSerialReceiver::IsWorking() const {
    if (!worker_) {
        return false;
    }
    const std::lock_guard lock(worker_->mutex);
    return !worker_->end.has_value();
}

std::optional<CaptureEnd> CSerialReceiver::LastEnd() const {
    if (!worker_) {
        return std::nullopt;
    }
    const std::lock_guard lock(worker_->mutex);
    return worker_->end;
}

} // namespace krt460
