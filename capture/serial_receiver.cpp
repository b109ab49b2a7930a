#include "capture/serial_receiver.h"

#include <algorithm>
#include <array>
#include <span>
#include <system_error>
#include <utility>

namespace krt460 {

struct CSerialReceiver::Worker {
    std::unique_ptr<SerialPort> port;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false; // the owner has set the lamp; reading may begin
    bool stopRequested = false;
    bool finished = false;

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

void CSerialReceiver::StartReceive(const std::string& portName) {
    // The count restarts even when the open then fails: a worker still reading this port goes
    // on storing from index 0.
    capture_.Reset();
    OpenResult opened = openPort_(portName);
    if (!opened.port) {
        lastOpenError_ = std::move(opened.error);
        owner_.ShowMessage(kOpenPortFailedMessage);
        return;
    }
    lastOpenError_ = {};
    if (worker_) {
        // A worker on another port (its sender stopped early) or one that has finished: it
        // closes its port before the new capture starts, and whatever it stored after the
        // reset above is discarded by a second one.
        Stop();
        capture_.Reset();
    }

    auto worker = std::make_unique<Worker>();
    worker->port = std::move(opened.port);
    try {
        worker->thread = launchThread_([this, w = worker.get()] { ReceiveWorker(*w); });
    } catch (const std::system_error&) {
        // No worker: the port closes with `worker`; running and the lamp are not yet changed.
        return;
    }
    worker_ = std::move(worker);
    capture_.SetRunning(true);
    owner_.SetLamp(LampState::Receiving);
    {
        const std::lock_guard lock(worker_->mutex);
        worker_->started = true;
    }
    worker_->changed.notify_all();
}

void CSerialReceiver::ReceiveWorker(Worker& worker) {
    {
        std::unique_lock lock(worker.mutex);
        worker.changed.wait(lock, [&] { return worker.started || worker.stopRequested; });
    }
    bool complete = false;
    std::array<std::uint8_t, 64> chunk{};
    while (!complete && capture_.IsRunning() && !worker.StopRequested()) {
        // Ask for no more than the frame still needs: the worker stops after the 3328th byte,
        // and a following byte is left for the next Receive to purge.
        const std::size_t needed =
            kFrameLength - std::min<std::size_t>(capture_.Count(), kFrameLength - 1);
        std::size_t got = 0;
        const ReadResult read = worker.port->Read(
            std::span(chunk).first(std::min(needed, chunk.size())), got, kReadWait);
        switch (read) {
        case ReadResult::Data:
        case ReadResult::DataAfterWait:
            for (std::size_t i = 0; i < got && !complete; ++i) {
                complete = capture_.Store(chunk[i]);
            }
            if (complete) {
                capture_.SetRunning(false);
            } else if (read == ReadResult::DataAfterWait) {
                worker.WaitForStop(kBurstGather);
            }
            break;
        case ReadResult::Nothing:
            break; // the read has already waited
        case ReadResult::Failed:
            worker.WaitForStop(kReadWait); // a failing device fails at once; do not spin on it
            break;
        }
    }
    if (complete && capture_.HasEndMarker()) {
        owner_.StoreLampAndRepaint(LampState::Received);
    }
    worker.port.reset();
    {
        const std::lock_guard lock(worker.mutex);
        worker.finished = true;
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
    return worker_->changed.wait_for(lock, timeout, [this] { return worker_->finished; });
}

bool CSerialReceiver::IsWorking() const {
    if (!worker_) {
        return false;
    }
    const std::lock_guard lock(worker_->mutex);
    return !worker_->finished;
}

} // namespace krt460
