#pragma once

#include "capture/capture_buffer.h"
#include "capture/print.h"
#include "capture/print_template.h"
#include "capture/serial_port.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace krt460 {

// What StartReceive did.
enum class StartOutcome { Started, OpenFailed, WorkerFailed };
struct StartResult {
    StartOutcome outcome = StartOutcome::Started;
    PortError error; // why the port could not be opened
};

enum class ReceiveMode {
    // One print into the capture buffer; the port closes after the 3328th byte.
    OnePrint,
    // Print after print, cut where each ends, until stopped or the port is lost; the port stays
    // open in between, so that prints sent back to back are all kept.
    EveryPrint,
};

struct CaptureOptions {
    ReceiveMode mode = ReceiveMode::OnePrint;
    // No byte for this long ends the capture (OnePrint) or the print under way (EveryPrint).
    std::optional<std::chrono::milliseconds> stallTimeout;
    // Whether the stall timeout of a OnePrint capture also runs before its first byte.
    bool stallBeforeFirstByte = true;
    // A capture that replaces one cut off while the instrument may still be sending skips the
    // rest of that print: the bytes before the first whole print the framer finds (by the
    // instrument's learned template, else by the layout) or before the first piece it hands
    // out; a capture that ends before either keeps what came after the first pause. After that
    // nothing is skipped: a OnePrint capture takes the first print or piece that follows.
    bool skipRestOfPrint = false;
    // EveryPrint: a port that goes away (adapter unplugged) is looked for twice a second, by
    // the worker, and reading goes on once it is back.
    bool reconnect = false;
};

// A timeout in seconds, as a user gives it, as a stall timeout; 0 (or less) waits for ever.
inline std::optional<std::chrono::milliseconds> StallTimeout(double seconds) {
    // A week or more (or infinity, or not a number) is as good as for ever.
    if (!(seconds > 0 && seconds < 7 * 24 * 3600.0)) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// What the receiver needs of its owner, and nothing more.
class IReceiverOwner {
public:
    // From the worker thread: a print, or what arrived of one. OnePrint hands over one print as
    // the worker ends; EveryPrint one per print, and the last (PortLost or Stopped, perhaps
    // empty) as the worker ends. Must not block, and must not touch a window: post or queue it.
    virtual void PrintReceived(Print print) = 0;

protected:
    ~IReceiverOwner() = default;
};

// An owner for a program without windows: the prints wait in a queue for its own thread.
class PrintQueue : public IReceiverOwner {
public:
    // `arrived`, from the worker, each time a print waits: a window posts itself a message.
    explicit PrintQueue(std::function<void()> arrived = nullptr) : arrived_(std::move(arrived)) {}
    void PrintReceived(Print print) override;
    // The next print, or nothing when none came within `timeout`.
    std::optional<Print> Wait(std::chrono::milliseconds timeout);

private:
    std::function<void()> arrived_;
    std::mutex mutex_;
    std::condition_variable waiting_;
    std::deque<Print> prints_;
};

// Receives prints: opens and configures the port, then a worker thread reads what arrives and
// hands each print to the owner as a value. One worker at a time; destroying the receiver stops
// and joins it.
class CSerialReceiver {
public:
    using PortOpener = std::function<OpenResult(const std::string&, std::stop_token)>;
    using ThreadLauncher = std::function<std::thread(std::function<void()>)>;

    explicit CSerialReceiver(IReceiverOwner& owner,
                             CCaptureBuffer& capture = CCaptureBuffer::Instance(),
                             PortOpener openPort = OpenSerialPort,
                             ThreadLauncher launchThread = nullptr);
    ~CSerialReceiver();
    CSerialReceiver(const CSerialReceiver&) = delete;
    CSerialReceiver& operator=(const CSerialReceiver&) = delete;

    // Opens the port; then stops a worker still running, resets the count (OnePrint) and starts
    // a new worker. A failed open changes nothing: a worker still reading goes on, and the count
    // stays as it is.
    StartResult StartReceive(const std::string& portName, const CaptureOptions& options = {});

    // Stops a worker that is still reading and waits until it has closed its port and handed
    // over what it had.
    void Stop();

    // Waits until the worker has ended or `timeout` has passed; true when no worker runs.
    bool WaitUntilFinished(std::chrono::milliseconds timeout);

    bool IsWorking() const;

    // The bytes of the print under way: what a OnePrint capture has stored, what an EveryPrint
    // worker, or a OnePrint one that skips the rest of a print, holds of a print not yet ended.
    std::size_t BytesOfCurrentPrint() const;
    // The line errors of the print under way so far.
    LineErrors LineErrorsOfCurrentPrint() const;

    // The port the current or last worker read.
    const std::string& PortName() const { return portName_; }

    // False while a worker waits for its lost port to come back.
    bool PortPresent() const;

    // What the receiver has learned of the instrument's prints, kept for its whole life, so that
    // a reconnect and the next capture find prints by it from their first byte.
    std::optional<PrintTemplate> Template() const;
    // Takes over what another receiver learned (nothing: keeps its own).
    void Remember(const std::optional<PrintTemplate>& learned);

    // Counts the starts; each print carries the number of the start it belongs to, so that an
    // owner can tell a late print of an earlier capture.
    unsigned CaptureNumber() const { return captureNumber_; }

private:
    struct Worker;
    void ReceiveWorker(Worker& worker);
    void ReceiveOnePrint(Worker& worker);
    // EveryPrint, and a OnePrint capture that skips the rest of a print: the framer cuts.
    void ReceiveStream(Worker& worker);
    // Closes the port, marks the worker finished and hands over its last print.
    void Finish(Worker& worker, Print last);
    // A whole print of a OnePrint capture teaches the template when nothing else could have
    // been meant: the same layout as learned, or the first byte after a quiet line.
    void LearnFrom(std::span<const std::uint8_t> print, bool beganAfterPause);
    // Waits for a lost port to come back; false when stopped first.
    bool Reconnect(Worker& worker);

    IReceiverOwner& owner_;
    CCaptureBuffer& capture_;
    PortOpener openPort_;
    ThreadLauncher launchThread_;
    std::string portName_;
    unsigned captureNumber_ = 0;
    std::unique_ptr<Worker> worker_;
    mutable std::mutex templateMutex_;
    std::optional<PrintTemplate> template_;
};

} // namespace krt460
