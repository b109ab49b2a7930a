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
#include <stop_token>
#include <system_error>
#include <utility>

namespace krt460 {
namespace {

using Clock = std::chrono::steady_clock;

// After this long without a byte a print that waits only for a late byte ends: at 9600 baud
// the bytes of one print come a millisecond apart.
constexpr std::chrono::milliseconds kQuietGap{60};
// One byte on the line at 9600 baud, 10 bits with its start and stop bits, rounded up.
constexpr std::chrono::microseconds kByteTime{(10'000'000 + kBaudRate - 1) / kBaudRate};
// What a silence needs beyond a byte's time and an adapter's bursts: the reader's own delays.
constexpr std::chrono::milliseconds kSilenceMargin{1};
// A lost port is looked for twice a second.
constexpr std::chrono::milliseconds kReconnectInterval{500};

// What came with the bytes of a stream: when each read brought them, and the line errors the
// driver counted with them. A piece is dated by its last byte and carries the errors of its
// bytes, though it may be handed over later.
class StreamLedger {
public:
    // A read brought `count` bytes, perhaps none, and the driver counted `errors`; `quiet`: no
    // byte came for a while.
    void Read(std::size_t count, LineErrors errors, bool quiet) {
        known_ = known_ || errors.known;
        if (count == 0 && (quiet || fed_ == handed_)) {
            // Noise or a break on an idle line: they belong to no bytes. Kept for one more read
            // only, since the driver may have counted bytes that arrived just after this one.
            idle_ = errors;
            return;
        }
        errors += std::exchange(idle_, {});
        if (errors.Total() > 0) {
            // With bytes, to their first; without, to the bytes that have just come.
            errors_.emplace_back(count > 0 ? fed_ : fed_ - 1, errors);
        }
        if (count > 0) {
            fed_ += count;
            arrivals_.emplace_back(fed_, std::chrono::system_clock::now());
        }
    }

    // The next bytes of the stream leave as `print`: its last byte's time, and its errors.
    void Stamp(Print& print) {
        const std::uint64_t end = handed_ + print.bytes.size();
        print.lineErrors = LineErrors{known_};
        for (; !errors_.empty() && errors_.front().first < end; errors_.pop_front()) {
            print.lineErrors += errors_.front().second;
        }
        while (arrivals_.size() > 1 && arrivals_.front().first < end) {
            arrivals_.pop_front();
        }
        if (end > handed_ && !arrivals_.empty()) {
            print.lastByteAt = arrivals_.front().second;
        }
        handed_ = end;
    }

    // The errors of the bytes not yet handed over.
    LineErrors Pending() const {
        LineErrors pending{known_};
        for (const auto& counted : errors_) {
            pending += counted.second;
        }
        return pending;
    }

private:
    std::uint64_t fed_ = 0;
    std::uint64_t handed_ = 0;
    std::deque<std::pair<std::uint64_t, std::chrono::system_clock::time_point>> arrivals_;
    std::deque<std::pair<std::uint64_t, LineErrors>> errors_;
    LineErrors idle_;
    bool known_ = false;
};

// An FTDI adapter hands its bytes over every 16 ms by default; others sooner.
constexpr std::chrono::milliseconds kAdapterBurstGap{20};

// How long the line must be silent before no byte is on its way. At the line's pace a byte comes
// every byte time; a USB adapter holds bytes back and hands them over in bursts (an FTDI every
// 16 ms). Each read that brought bytes is set against the moment the stream would have begun at
// that pace: the later it seems to have begun than the earliest so far since the line last
// paused, the longer the adapter held its bytes. (Bytes that came faster, a backlog, seem to
// begin earlier.)
class Silence {
public:
    void Read(Clock::time_point now, std::uint64_t fed) {
        const Clock::time_point began = now - kByteTime * static_cast<std::int64_t>(fed);
        earliest_ = std::min(earliest_, began);
        held_ = std::max(held_, began - earliest_);
    }
    void Paused() { *this = {}; }
    // Never shorter than an adapter's burst interval: between two bursts the line seems silent
    // while the adapter still holds bytes, and the last byte of a burst always seems fresh.
    Clock::duration Needed() const {
        return std::clamp<Clock::duration>(kByteTime + held_ + kSilenceMargin, kAdapterBurstGap,
                                           kQuietGap);
    }

private:
    Clock::time_point earliest_ = Clock::time_point::max();
    Clock::duration held_{};
};

} // namespace

struct CSerialReceiver::Worker {
    std::unique_ptr<SerialPort> port; // read by the worker; closed and cancelled under mutex
    CaptureOptions options;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopRequested = false;
    std::stop_source stopSource; // cancels an open in progress
    bool finished = false;
    std::string portName;
    std::atomic<bool> portPresent{true};
    std::atomic<std::size_t> pendingBytes{0}; // EveryPrint: of the print under way
    LineErrors errorsSoFar;                   // of the print under way; under mutex
    unsigned number = 0;                      // the start it belongs to

    // Waits for `wait` or a stop request; true when stopping.
    bool WaitForStop(std::chrono::microseconds wait) {
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
    // Reads are paced: after bytes, the next ones gather for a moment, but no longer than all
    // but the last of the `lacking` bytes of the print under way take: the next read waits for
    // that one and returns as it lands, so that the print is handed over at once. A failing
    // device fails at once, so it gets the same pause. Nothing queued has already waited inside
    // Read.
    void Pace(std::size_t got, ReadResult read, std::optional<std::size_t> lacking) {
        if (read == ReadResult::Failed) {
            WaitForStop(kReadWait);
        } else if (const std::size_t more = lacking.value_or(kFrameLength); got > 0 && more > 1) {
            WaitForStop(std::min<std::chrono::microseconds>(kReadWait, kByteTime * (more - 1)));
        }
    }
};

void PrintQueue::PrintReceived(Print print) {
    {
        const std::lock_guard lock(mutex_);
        prints_.push_back(std::move(print));
    }
    waiting_.notify_one();
    if (arrived_) {
        arrived_();
    }
}

std::optional<Print> PrintQueue::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!waiting_.wait_for(lock, timeout, [this] { return !prints_.empty(); })) {
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
    OpenResult opened = openPort_(portName, {});
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
    if (worker.options.mode == ReceiveMode::OnePrint && !worker.options.skipRestOfPrint) {
        ReceiveOnePrint(worker);
    } else {
        ReceiveStream(worker);
    }
}

void CSerialReceiver::ReceiveOnePrint(Worker& worker) {
    const CaptureOptions& options = worker.options;
    std::array<std::uint8_t, 256> chunk{};
    StreamLedger ledger;
    CaptureEnd end = CaptureEnd::Stopped;
    const auto opened = Clock::now();
    auto lastByte = opened;
    bool anyByte = false;
    bool beganAfterPause = false;
    while (!worker.StopRequested()) {
        // The worker stops after the 3328th byte; a following byte is left for the next
        // Receive's purge.
        const std::size_t needed =
            kFrameLength - std::min<std::size_t>(capture_.Count(), kFrameLength - 1);
        std::size_t got = 0;
        const ReadResult read = worker.port->Read(
            std::span(chunk).first(std::min(needed, chunk.size())), got, kReadWait);
        const auto now = Clock::now();
        ledger.Read(got, worker.port->TakeLineErrors(), now - lastByte >= kQuietGap);
        worker.TellErrors(ledger.Pending());
        if (got > 0 && !anyByte) {
            beganAfterPause = now - opened >= kQuietGap;
        }
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
        if (got > 0) {
            lastByte = now;
            anyByte = true;
        }
        if (options.stallTimeout && (anyByte || options.stallBeforeFirstByte) &&
            now - lastByte >= *options.stallTimeout) {
            end = CaptureEnd::Stalled;
            break;
        }
        worker.Pace(got, read, kFrameLength - capture_.Count());
    }
    const CaptureBytes bytes = capture_.Bytes();
    Print print;
    print.bytes.assign(bytes.begin(), bytes.begin() + capture_.Count());
    print.hasEndMarker = end == CaptureEnd::Complete && HasEndMarker(bytes.data());
    print.end = end;
    ledger.Stamp(print);
    if (print.IsWhole()) {
        LearnFrom(print.bytes, beganAfterPause);
    }
    Finish(worker, std::move(print));
}

void CSerialReceiver::ReceiveStream(Worker& worker) {
    const CaptureOptions& options = worker.options;
    const bool onePrint = options.mode == ReceiveMode::OnePrint;
    CPrintFramer framer(Template());
    StreamLedger ledger;
    // A capture that replaces one cut off drops the rest of the print cut off: the bytes before
    // the first whole print, or before the first piece the framer hands out, which ends where it
    // is sure of. A stream that ends before either (a stop, a stall, a lost port) keeps what came
    // after the first pause within it: a new print, perhaps damaged, rather than nothing.
    bool skipping = options.skipRestOfPrint;
    std::optional<std::uint64_t> restEnd; // the stream's offset of that pause
    std::uint64_t fed = 0;                // bytes of the stream
    std::uint64_t handed = 0;             // bytes of it handed out by the framer
    std::optional<Print> found;           // OnePrint: the print it takes
    // The piece as a print, or nothing when it is the rest of the print cut off.
    const auto keep = [&](FramedPiece& piece, bool ending) -> std::optional<Print> {
        const std::uint64_t start = std::exchange(handed, handed + piece.bytes.size());
        if (skipping && piece.kind != PieceKind::Print) {
            const std::uint64_t rest = ending && restEnd && handed > *restEnd
                                           ? std::max(*restEnd, start) - start
                                           : piece.bytes.size();
            Print skipped;
            skipped.bytes.assign(piece.bytes.begin(),
                                 piece.bytes.begin() + static_cast<std::ptrdiff_t>(rest));
            ledger.Stamp(skipped);
            piece.bytes.erase(piece.bytes.begin(),
                              piece.bytes.begin() + static_cast<std::ptrdiff_t>(rest));
            skipping = ending && piece.bytes.empty();
            if (piece.bytes.empty()) {
                return std::nullopt;
            }
        }
        skipping = false;
        Print print;
        print.bytes = std::move(piece.bytes);
        ledger.Stamp(print);
        print.hasEndMarker = print.bytes.size() == kFrameLength && HasEndMarker(print.bytes.data());
        print.capture = worker.number;
        print.stray = piece.kind == PieceKind::Stray;
        return print;
    };
    // Pieces as prints; `end`: how the last piece ended, when the stream ends with it.
    const auto handOver = [&](std::vector<FramedPiece> pieces, CaptureEnd end) {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const bool ending = end != CaptureEnd::Complete;
            std::optional<Print> print = keep(pieces[i], ending);
            if (!print || found || (onePrint && print->stray)) {
                continue;
            }
            print->end = pieces[i].kind == PieceKind::Print || i + 1 < pieces.size()
                             ? CaptureEnd::Complete
                             : end;
            if (onePrint) {
                found = std::move(print);
            } else {
                owner_.PrintReceived(std::move(*print));
            }
        }
        if (!pieces.empty()) {
            Remember(framer.Template());
        }
    };
    // The line paused: while the rest of a print cut off is held, that rest may end here.
    Silence silence;
    const auto pause = [&] {
        silence.Paused();
        if (skipping && !restEnd && fed > handed) {
            restEnd = fed;
        }
        handOver(framer.Quiet(), CaptureEnd::Complete);
    };
    std::array<std::uint8_t, 256> chunk{};
    CaptureEnd end = CaptureEnd::Stopped;
    auto lastByte = Clock::now();
    bool quiet = false; // told to the framer: a line quiet before the first byte is a boundary
    auto wait = kReadWait;
    while (!found && !worker.StopRequested()) {
        std::size_t got = 0;
        const ReadResult read = worker.port->Read(chunk, got, wait);
        const auto now = Clock::now();
        ledger.Read(got, worker.port->TakeLineErrors(), now - lastByte >= kQuietGap);
        worker.TellErrors(ledger.Pending());
        if (got > 0) {
            // By the clock, not by whether this loop ran meanwhile: bytes after a quiet line
            // follow a pause.
            if (!quiet && now - lastByte >= kQuietGap) {
                pause();
            }
            lastByte = now;
            quiet = false;
            fed += got;
            silence.Read(now, fed);
            handOver(framer.Feed(std::span(chunk).first(got)), CaptureEnd::Complete);
        } else if (read == ReadResult::Nothing && now - lastByte >= silence.Needed()) {
            handOver(framer.Silent(), CaptureEnd::Complete);
        }
        if (read == ReadResult::Lost) {
            end = CaptureEnd::PortLost;
            if (!options.reconnect) {
                break;
            }
            // The owner hears of the loss with what it cut off, perhaps nothing.
            worker.portPresent.store(false);
            std::vector<FramedPiece> pieces = framer.Flush();
            const bool endsCut = !pieces.empty() && pieces.back().kind != PieceKind::Print;
            handOver(std::move(pieces), end);
            if (!endsCut || skipping) {
                Print lost{{}, false, end, {}, worker.number};
                ledger.Stamp(lost);
                owner_.PrintReceived(std::move(lost));
            }
            if (!Reconnect(worker)) {
                end = CaptureEnd::Stopped;
                break;
            }
            framer = CPrintFramer(Template());
            end = CaptureEnd::Stopped; // back: only a stop ends the capture now
            lastByte = Clock::now();
            quiet = false;
            continue;
        }
        if (options.stallTimeout && now - lastByte >= *options.stallTimeout &&
            (framer.Holding() || (onePrint && options.stallBeforeFirstByte))) {
            if (onePrint) {
                end = CaptureEnd::Stalled;
                break;
            }
            handOver(framer.Flush(), CaptureEnd::Stalled);
        } else if (!quiet && now - lastByte >= kQuietGap) {
            quiet = true;
            pause();
        }
        // While the rest of a print cut off is skipped, only what came after it counts.
        worker.pendingBytes.store(!skipping           ? framer.Pending()
                                  : restEnd           ? fed - *restEnd
                                  : framer.Template() ? framer.Pending()
                                                      : 0);
        const std::optional<std::size_t> lacking = framer.Lacking();
        wait = lacking == 0 ? std::chrono::ceil<std::chrono::milliseconds>(silence.Needed())
                            : kReadWait;
        worker.Pace(got, read, lacking);
    }
    worker.pendingBytes.store(0);
    // What had all its bytes is a print like any other; only the rest ends with the capture.
    std::vector<FramedPiece> pieces = framer.Flush();
    std::optional<FramedPiece> rest;
    if (!pieces.empty() && pieces.back().kind != PieceKind::Print) {
        rest = std::move(pieces.back());
        pieces.pop_back();
    }
    handOver(std::move(pieces), CaptureEnd::Complete);
    Print last; // named for its last byte, not for the stop
    if (std::optional<Print> kept = rest ? keep(*rest, true) : std::nullopt) {
        last = std::move(*kept);
    } else if (!rest) {
        ledger.Stamp(last);
    }
    last.end = end;
    if (found) {
        last = std::move(*found);
        for (const std::uint8_t byte : last.bytes) {
            capture_.Store(byte);
        }
    }
    Finish(worker, std::move(last));
}

bool CSerialReceiver::Reconnect(Worker& worker) {
    {
        const std::lock_guard lock(worker.mutex);
        worker.port.reset();
    }
    worker.portPresent.store(false);
    // The worker tries itself, so that no try outlives the capture: an open that takes its time
    // (a Bluetooth port) is cancelled by the stop, and a port it opened all the same is closed
    // here, before the stop returns.
    while (!worker.WaitForStop(kReconnectInterval)) {
        OpenResult opened = openPort_(worker.portName, worker.stopSource.get_token());
        if (opened.port && !worker.StopRequested()) {
            const std::lock_guard lock(worker.mutex);
            worker.port = std::move(opened.port);
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
    worker_->stopSource.request_stop();
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
    // A OnePrint capture that skips the rest of a print stores its print as it ends.
    if (worker_ && (worker_->options.mode == ReceiveMode::EveryPrint ||
                    (worker_->options.skipRestOfPrint && IsWorking()))) {
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
