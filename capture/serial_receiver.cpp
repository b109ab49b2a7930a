#include "capture/serial_receiver.h"

#include "capture/print_framer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <span>
#include <system_error>
#include <utility>

namespace krt460 {
namespace {

using Clock = std::chrono::steady_clock;

// After this long without a byte a print that waits only for a late byte ends: at 9600 baud
// the bytes of one print come a millisecond apart.
constexpr std::chrono::milliseconds kQuietGap{60};
// The pause after which the line brings a new print, not the rest of one cut off: a person
// presses the print key again, so it is long beside a hiccup of the reader.
constexpr std::chrono::milliseconds kPauseBetweenPrints{500};

} // namespace

struct CSerialReceiver::Worker {
    std::unique_ptr<SerialPort> port; // read by the worker; closed and cancelled under mutex
    CaptureOptions options;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopRequested = false;
    bool finished = false;
    std::atomic<std::size_t> pendingBytes{0}; // EveryPrint: of the print under way
    LineErrors errorsSoFar;                   // of the print under way; under mutex
    unsigned number = 0;                      // the start it belongs to

    // Waits for `wait` or a stop request; true when stopping.
    bool WaitForStop(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, wait, [this] { return stopRequested; });
    }
    bool StopRequested() {
        const std::lock_guard lock(mutex);
        return stopRequested;
    }
    void TellErrors(const LineErrors& errors) {
        const std::lock_guard lock(mutex);
        errorsSoFar = errors;
    }
    // Reads are paced: after bytes, the next ones gather for a moment; a failing device fails
    // at once, so it gets the same pause. Nothing queued has already waited inside Read.
    void Pace(std::size_t got, ReadResult read) {
        if (got > 0 || read == ReadResult::Failed) {
            WaitForStop(kReadWait);
        }
    }
};

void PrintQueue::PrintReceived(Print print) {
    {
        const std::lock_guard lock(mutex_);
        prints_.push_back(std::move(print));
    }
    arrived_.notify_one();
}

std::optional<Print> PrintQueue::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [this] { return !prints_.empty(); })) {
        return std::nullopt;
    }
    Print print = std::move(prints_.front());
    prints_.pop_front();
    return print;
}

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

StartResult CSerialReceiver::StartReceive(const std::string& portName,
                                          const CaptureOptions& options) {
    OpenResult opened = openPort_(portName);
    if (!opened.port) {
        return {StartOutcome::OpenFailed, std::move(opened.error)};
    }
    // A worker on another port (its sender stopped early), or one that has finished.
    Stop();
    if (options.mode == ReceiveMode::OnePrint) {
        capture_.Reset();
    }
    auto worker = std::make_unique<Worker>();
    worker->port = std::move(opened.port);
    worker->options = options;
    worker->number = captureNumber_ + 1;
    try {
        worker->thread = launchThread_([this, w = worker.get()] { ReceiveWorker(*w); });
    } catch (const std::system_error&) {
        return {StartOutcome::WorkerFailed, {}}; // the port closes with `worker`
    }
    portName_ = portName;
    captureNumber_ = worker->number;
    worker_ = std::move(worker);
    return {};
}

void CSerialReceiver::ReceiveWorker(Worker& worker) {
    if (worker.options.mode == ReceiveMode::OnePrint) {
        ReceiveOnePrint(worker);
    } else {
        ReceiveEveryPrint(worker);
    }
}

void CSerialReceiver::ReceiveOnePrint(Worker& worker) {
    const CaptureOptions& options = worker.options;
    std::array<std::uint8_t, 256> chunk{};
    LineErrors errors;
    CaptureEnd end = CaptureEnd::Stopped;
    auto lastByte = Clock::now();
    bool anyByte = false;
    const std::vector<std::uint8_t>& printBegins = options.printBegins;
    std::vector<std::uint8_t> skipped; // the tail of what is skipped, for a beginning across reads
    bool skipping = options.skipRestOfPrint;
    while (!worker.StopRequested()) {
        // The worker stops after the 3328th byte; a following byte is left for the next
        // Receive's purge.
        const std::size_t needed =
            kFrameLength - std::min<std::size_t>(capture_.Count(), kFrameLength - 1);
        std::size_t got = 0;
        const ReadResult read = worker.port->Read(
            std::span(chunk).first(std::min(needed, chunk.size())), got, kReadWait);
        errors += worker.port->TakeLineErrors();
        worker.TellErrors(errors);
        std::vector<std::uint8_t> arrived(chunk.begin(), chunk.begin() + static_cast<long>(got));
        if (skipping && got > 0) {
            if (Clock::now() - lastByte >= kPauseBetweenPrints) {
                skipping = false; // after a pause, a print begins with its first byte
            } else {
                // The beginning may have started in the bytes skipped before these.
                skipped.insert(skipped.end(), arrived.begin(), arrived.end());
                const auto begins = printBegins.empty()
                                        ? skipped.end()
                                        : std::search(skipped.begin(), skipped.end(),
                                                      printBegins.begin(), printBegins.end());
                skipping = begins == skipped.end();
                arrived.assign(begins, skipped.end());
                // Kept: the bytes a beginning may start in, ending in the next read.
                const std::size_t keep = std::min(
                    skipped.size(), printBegins.empty() ? std::size_t{0} : printBegins.size() - 1);
                skipped.erase(skipped.begin(), skipped.end() - static_cast<std::ptrdiff_t>(keep));
            }
        }
        bool complete = false;
        for (std::size_t i = 0; i < arrived.size() && !complete; ++i) {
            complete = capture_.Store(arrived[i]);
        }
        if (complete) {
            end = CaptureEnd::Complete;
            break;
        }
        if (read == ReadResult::Lost) {
            end = CaptureEnd::PortLost;
            break;
        }
        const auto now = Clock::now();
        if (got > 0) {
            lastByte = now;
            anyByte = true;
        }
        if (options.stallTimeout && (anyByte || options.stallBeforeFirstByte) &&
            now - lastByte >= *options.stallTimeout) {
            end = CaptureEnd::Stalled;
            break;
        }
        worker.Pace(got, read);
    }
    const CaptureBytes bytes = capture_.Bytes();
    Print print;
    print.bytes.assign(bytes.begin(), bytes.begin() + capture_.Count());
    print.hasEndMarker = end == CaptureEnd::Complete && HasEndMarker(bytes.data());
    print.end = end;
    print.lineErrors = errors;
    Finish(worker, std::move(print));
}

void CSerialReceiver::ReceiveEveryPrint(Worker& worker) {
    const CaptureOptions& options = worker.options;
    CPrintFramer framer;
    LineErrors errors; // since the last print handed over
    const auto handOver = [&](FramedPiece& piece, CaptureEnd end) {
        Print print{std::move(piece.bytes), piece.endsAtMarker, end, {}, worker.number};
        // The errors go with a print; stray bytes carry none.
        print.lineErrors.known = errors.known;
        if (!print.IsStray()) {
            print.lineErrors = std::exchange(errors, LineErrors{errors.known});
        }
        owner_.PrintReceived(std::move(print));
    };
    std::array<std::uint8_t, 256> chunk{};
    CaptureEnd end = CaptureEnd::Stopped;
    auto lastByte = Clock::now();
    bool quiet = true;
    while (!worker.StopRequested()) {
        std::size_t got = 0;
        const ReadResult read = worker.port->Read(chunk, got, kReadWait);
        const LineErrors seen = worker.port->TakeLineErrors();
        if (seen.Total() > 0) {
            framer.MarkDamaged();
        }
        errors += seen;
        worker.TellErrors(errors);
        const auto now = Clock::now();
        if (got > 0) {
            lastByte = now;
            quiet = false;
            for (FramedPiece& piece : framer.Feed(std::span(chunk).first(got))) {
                handOver(piece, CaptureEnd::Complete);
            }
        }
        if (read == ReadResult::Lost) {
            end = CaptureEnd::PortLost;
            break;
        }
        const bool stalled = options.stallTimeout && now - lastByte >= *options.stallTimeout;
        if (auto piece = stalled ? framer.Flush() : std::nullopt) {
            handOver(*piece, CaptureEnd::Stalled);
        } else if (!quiet && now - lastByte >= kQuietGap) {
            quiet = true;
            for (FramedPiece& ended : framer.Quiet()) {
                handOver(ended, CaptureEnd::Complete);
            }
        }
        worker.pendingBytes.store(framer.Pending());
        worker.Pace(got, read);
    }
    worker.pendingBytes.store(0);
    // What had all its bytes is a print like any other; only the rest ends with the capture.
    for (FramedPiece& ended : framer.Quiet()) {
        handOver(ended, CaptureEnd::Complete);
    }
    Print last;
    if (auto piece = framer.Flush()) {
        last.bytes = std::move(piece->bytes);
    }
    last.end = end;
    last.lineErrors = errors;
    Finish(worker, std::move(last));
}

void CSerialReceiver::Finish(Worker& worker, Print last) {
    last.capture = worker.number;
    {
        // Closed before the owner hears of it: the next Receive may open the port at once.
        const std::lock_guard lock(worker.mutex);
        worker.port.reset();
        worker.finished = true;
    }
    worker.changed.notify_all();
    owner_.PrintReceived(std::move(last));
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
    worker_.reset();
}

bool CSerialReceiver::WaitUntilFinished(std::chrono::milliseconds timeout) {
    if (!worker_) {
        return true;
    }
    std::unique_lock lock(worker_->mutex);
    return worker_->changed.wait_for(lock, timeout, [this] { return worker_->finished; });
}

std::size_t CSerialReceiver::BytesOfCurrentPrint() const {
    if (worker_ && worker_->options.mode == ReceiveMode::EveryPrint) {
        return worker_->pendingBytes.load();
    }
    return capture_.Count();
}

LineErrors CSerialReceiver::LineErrorsOfCurrentPrint() const {
    if (!worker_) {
        return {};
    }
    const std::lock_guard lock(worker_->mutex);
    return worker_->errorsSoFar;
}

bool CSerialReceiver::IsWorking() const {
    if (!worker_) {
        return false;
    }
    const std::lock_guard lock(worker_->mutex);
    return !worker_->finished;
}

} // namespace krt460
