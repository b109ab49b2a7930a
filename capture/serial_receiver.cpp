#include "capture/serial_receiver.h"

#include "capture/print_framer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
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
// A lost port is looked for twice a second.
constexpr std::chrono::milliseconds kReconnectInterval{500};

// Skips the rest of a print cut off: nothing is kept until a print begins, or the line pauses.
class RestOfPrintSkipper {
public:
    RestOfPrintSkipper(bool active, std::optional<PrintTemplate> learned,
                       const std::vector<std::uint8_t>& cutOff)
        : skipping_(active), template_(std::move(learned)) {
        // Without a template, how the cut-off print began: its leading part, if it had one.
        const auto dot = std::find(cutOff.begin(), cutOff.end(), std::uint8_t{'.'});
        if (!template_ && BeginsLikeLeadingPart(cutOff)) {
            begins_.assign(cutOff.begin(), dot + 1);
        }
    }

    // Of the bytes that arrived, those to keep; `paused`: the line paused before them.
    std::vector<std::uint8_t> Filter(std::span<const std::uint8_t> arrived, bool paused) {
        if (!skipping_ || paused) {
            skipping_ = false;
            return {arrived.begin(), arrived.end()};
        }
        seen_.insert(seen_.end(), arrived.begin(), arrived.end());
        const std::size_t at = PrintBegins();
        if (at == seen_.size()) {
            return {};
        }
        skipping_ = false;
        return {seen_.begin() + static_cast<std::ptrdiff_t>(at), seen_.end()};
    }

private:
    // Where a print surely begins in what was skipped, or its size. Bytes before a place that
    // could still begin one go.
    std::size_t PrintBegins() {
        std::size_t at = 0;
        if (template_) {
            // A print is sure once it fits through its first band's line feed.
            const std::size_t sure = template_->Layout().counts.front() + 2 + 160 + 1;
            for (; at < seen_.size(); ++at) {
                const std::span<const std::uint8_t> rest = std::span(seen_).subspan(at);
                if (template_->Match(rest) != PrintTemplate::Fit::No) {
                    if (rest.size() >= sure) {
                        return at;
                    }
                    break;
                }
            }
        } else if (!begins_.empty()) {
            at = static_cast<std::size_t>(
                std::search(seen_.begin(), seen_.end(), begins_.begin(), begins_.end()) -
                seen_.begin());
            if (at < seen_.size()) {
                return at;
            }
            at = seen_.size() - std::min(seen_.size(), begins_.size() - 1);
        } else {
            at = seen_.size();
        }
        seen_.erase(seen_.begin(), seen_.begin() + static_cast<std::ptrdiff_t>(at));
        return seen_.size(); // not yet
    }

    bool skipping_;
    std::optional<PrintTemplate> template_;
    std::vector<std::uint8_t> begins_;
    std::vector<std::uint8_t> seen_;
};

} // namespace

struct CSerialReceiver::Worker {
    std::unique_ptr<SerialPort> port; // read by the worker; closed and cancelled under mutex
    CaptureOptions options;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopRequested = false;
    bool finished = false;
    std::string portName;
    std::atomic<bool> portPresent{true};
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
    worker->portName = portName;
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
    const auto opened = Clock::now();
    auto lastByte = opened;
    bool anyByte = false;
    bool beganAfterPause = false;
    std::chrono::system_clock::time_point lastStored{};
    RestOfPrintSkipper skipper(options.skipRestOfPrint, Template(), options.cutOff);
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
        const auto now = Clock::now();
        const std::vector<std::uint8_t> kept =
            skipper.Filter(std::span(chunk).first(got), now - lastByte >= kPauseBetweenPrints);
        if (capture_.Count() == 0 && !kept.empty()) {
            beganAfterPause = now - (anyByte ? lastByte : opened) >= kQuietGap;
        }
        if (!kept.empty()) {
            lastStored = std::chrono::system_clock::now();
        }
        bool complete = false;
        for (std::size_t i = 0; i < kept.size() && !complete; ++i) {
            complete = capture_.Store(kept[i]);
        }
        if (complete) {
            end = CaptureEnd::Complete;
            break;
        }
        if (read == ReadResult::Lost) {
            end = CaptureEnd::PortLost;
            break;
        }
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
    print.afterPause = beganAfterPause;
    print.lastByteAt = lastStored;
    if (print.IsWhole()) {
        LearnFrom(print.bytes, beganAfterPause);
    }
    Finish(worker, std::move(print));
}

void CSerialReceiver::ReceiveEveryPrint(Worker& worker) {
    const CaptureOptions& options = worker.options;
    CPrintFramer framer(Template());
    RestOfPrintSkipper skipper(options.skipRestOfPrint, Template(), options.cutOff);
    LineErrors errors; // since the last print handed over
    // When the bytes came: the stream's offset after each read, and its time; a piece is dated
    // by its last byte, though it may be handed over later.
    std::deque<std::pair<std::uint64_t, std::chrono::system_clock::time_point>> arrivals;
    std::uint64_t fed = 0;
    std::uint64_t handed = 0;
    // Pieces as prints: each with the errors since the last, noise with none; `end`: how the
    // last piece ended, when the stream ends with it.
    const auto handOver = [&](std::vector<FramedPiece> pieces, CaptureEnd end) {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            FramedPiece& piece = pieces[i];
            handed += piece.bytes.size();
            while (arrivals.size() > 1 && arrivals.front().first < handed) {
                arrivals.pop_front();
            }
            Print print;
            print.lastByteAt =
                arrivals.empty() ? std::chrono::system_clock::now() : arrivals.front().second;
            print.bytes = std::move(piece.bytes);
            print.hasEndMarker =
                print.bytes.size() == kFrameLength && HasEndMarker(print.bytes.data());
            print.end = piece.kind == PieceKind::Print || i + 1 < pieces.size()
                            ? CaptureEnd::Complete
                            : end;
            print.capture = worker.number;
            print.stray = piece.kind == PieceKind::Stray;
            print.lineErrors.known = errors.known;
            if (!print.stray) {
                print.lineErrors = std::exchange(errors, LineErrors{errors.known});
            }
            owner_.PrintReceived(std::move(print));
        }
        if (!pieces.empty()) {
            Remember(framer.Template());
        }
    };
    std::array<std::uint8_t, 256> chunk{};
    CaptureEnd end = CaptureEnd::Stopped;
    auto lastByte = Clock::now();
    bool quiet = false; // told to the framer: a line quiet before the first byte is a boundary
    while (!worker.StopRequested()) {
        std::size_t got = 0;
        const ReadResult read = worker.port->Read(chunk, got, kReadWait);
        errors += worker.port->TakeLineErrors();
        worker.TellErrors(errors);
        const auto now = Clock::now();
        if (got > 0) {
            // By the clock, not by whether this loop ran meanwhile: bytes after a quiet line
            // follow a pause.
            if (!quiet && now - lastByte >= kQuietGap) {
                handOver(framer.Quiet(), CaptureEnd::Complete);
            }
            const std::vector<std::uint8_t> kept =
                skipper.Filter(std::span(chunk).first(got), now - lastByte >= kPauseBetweenPrints);
            lastByte = now;
            quiet = false;
            fed += kept.size();
            if (!kept.empty()) {
                arrivals.emplace_back(fed, std::chrono::system_clock::now());
            }
            handOver(framer.Feed(kept), CaptureEnd::Complete);
        }
        if (read == ReadResult::Lost) {
            end = CaptureEnd::PortLost;
            if (!options.reconnect) {
                break;
            }
            // The owner hears of the loss with what it cut off, perhaps nothing.
            worker.portPresent.store(false);
            std::vector<FramedPiece> pieces = framer.Flush();
            const bool told = !pieces.empty() && pieces.back().kind != PieceKind::Print;
            handOver(std::move(pieces), end);
            if (!told) {
                owner_.PrintReceived(
                    Print{{}, false, end, std::exchange(errors, {}), worker.number});
            }
            if (!Reconnect(worker)) {
                end = CaptureEnd::Stopped;
                break;
            }
            framer = CPrintFramer(Template());
            arrivals.clear();
            handed = fed;
            end = CaptureEnd::Stopped; // back: only a stop ends the capture now
            lastByte = Clock::now();
            quiet = false;
            continue;
        }
        if (options.stallTimeout && framer.Holding() && now - lastByte >= *options.stallTimeout) {
            handOver(framer.Flush(), CaptureEnd::Stalled);
        } else if (!quiet && now - lastByte >= kQuietGap) {
            quiet = true;
            handOver(framer.Quiet(), CaptureEnd::Complete);
        }
        worker.pendingBytes.store(framer.Pending());
        worker.Pace(got, read);
    }
    worker.pendingBytes.store(0);
    // What had all its bytes is a print like any other; only the rest ends with the capture.
    std::vector<FramedPiece> pieces = framer.Flush();
    Print last;
    if (!pieces.empty() && pieces.back().kind != PieceKind::Print) {
        last.bytes = std::move(pieces.back().bytes);
        last.stray = pieces.back().kind == PieceKind::Stray;
        pieces.pop_back();
    }
    handOver(std::move(pieces), CaptureEnd::Complete);
    last.end = end;
    last.lineErrors = errors;
    Finish(worker, std::move(last));
}

bool CSerialReceiver::Reconnect(Worker& worker) {
    {
        const std::lock_guard lock(worker.mutex);
        worker.port.reset();
    }
    worker.portPresent.store(false);
    // Each try opens on a thread of its own: a Bluetooth port can take seconds to open, and a
    // stop must not wait for that. A try given up closes what it opened itself.
    struct Attempt {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<OpenResult> result;
    };
    while (!worker.WaitForStop(kReconnectInterval)) {
        const auto attempt = std::make_shared<Attempt>();
        const auto open = [attempt, openPort = openPort_, name = worker.portName] {
            OpenResult opened = openPort(name);
            const std::lock_guard lock(attempt->mutex);
            attempt->result = std::move(opened);
            attempt->done.notify_all();
        };
        try {
            std::thread(open).detach();
        } catch (const std::system_error&) {
            open();
        }
        std::unique_lock lock(attempt->mutex);
        while (!attempt->done.wait_for(lock, std::chrono::milliseconds(50),
                                       [&] { return attempt->result.has_value(); })) {
            if (worker.StopRequested()) {
                return false;
            }
        }
        if (attempt->result->port) {
            const std::lock_guard portLock(worker.mutex);
            worker.port = std::move(attempt->result->port);
            worker.portPresent.store(true);
            return true;
        }
    }
    return false;
}

void CSerialReceiver::LearnFrom(std::span<const std::uint8_t> print, bool beganAfterPause) {
    const std::optional<PrintLayout> layout = ReadPrintLayout(print);
    if (!layout) {
        return;
    }
    const std::lock_guard lock(templateMutex_);
    if (template_ && template_->Layout() == *layout) {
        template_->Learn(print, *layout);
    } else if (beganAfterPause) {
        template_.emplace(print, *layout);
    }
}

void CSerialReceiver::Remember(const std::optional<PrintTemplate>& learned) {
    if (learned) {
        const std::lock_guard lock(templateMutex_);
        template_ = learned;
    }
}

std::optional<PrintTemplate> CSerialReceiver::Template() const {
    const std::lock_guard lock(templateMutex_);
    return template_;
}

bool CSerialReceiver::PortPresent() const {
    return !worker_ || worker_->portPresent.load();
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
