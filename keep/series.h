#pragma once

#include "capture/serial_receiver.h"
#include "keep/capture_keeper.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace krt460 {

struct SeriesOptions {
    std::string port;
    // No byte for this long ends the print under way, kept as far as it got; none: waits.
    std::optional<std::chrono::milliseconds> stallTimeout = std::chrono::seconds(10);
    // With `keeping.hold`, a print that could not be written is held and tried again this often;
    // without, it ends the series.
    KeeperOptions keeping;
    std::chrono::milliseconds retryInterval = kHeldRetryInterval;
    // The instrument may still be sending a print cut off: its rest is skipped.
    bool skipRestOfPrint = false;
    // What an earlier capture learned of the instrument's prints: found from the first byte.
    std::optional<PrintTemplate> learned;
};

// A port not there yet is looked for this often.
constexpr std::chrono::milliseconds kPortRetryInterval{500};

// What happened in a series, for a face to say in its own words.
enum class SeriesEvent {
    Kept,       // a print kept as `kept` says (also a held one written at last: `fromHold`)
    Held,       // a print that could not be written waits to be written (`first`: holding began)
    NotWritten, // a print neither written nor held: only its copy, if any, is left
    CaughtUp,   // every held print is written now
    PortLost,   // the port went away: the series waits for it
    PortBack,   // it is there again: the series goes on
    Ended,      // over: stopped, or (without hold) a print could not be written
};

struct SeriesOutcome {
    SeriesEvent event = SeriesEvent::Kept;
    Kept kept;   // Kept, Held, NotWritten
    Print print; // Kept, Held, NotWritten: the print as it came
    bool fromHold = false;
    // Held, NotWritten: whether this one is worth a word. Holding is told as it begins, prints
    // beyond what memory holds and prints lost because the rescue folder is full once each
    // while holding; the rest are counted.
    bool tell = false;
    // CaughtUp: held prints written since holding began; whether prints beyond memory stay
    // only as copies in the rescue folder.
    unsigned written = 0;
    bool copiesLeft = false;
    // Ended: a stop cut a print off; prints still held (copies kept, some perhaps without one);
    // the print that ended the series, when one could not be written.
    bool cutOff = false;
    std::size_t stillHeld = 0;
    std::size_t heldWithoutCopy = 0;
    std::optional<Kept> failure;
};

// A series: every print that arrives on a port, cut where it ends, kept by one keeper's rule,
// counted; a lost port waited for; prints that cannot be written held and tried again. The
// face takes the outcomes one by one with Next, on its own thread, and only says them.
class CSeries {
public:
    // `arrived`, from the worker thread: outcomes wait for Next (post a message; never block).
    explicit CSeries(SeriesOptions options, std::function<void()> arrived = nullptr,
                     CSerialReceiver::PortOpener openPort = OpenSerialPort);
    ~CSeries();
    CSeries(const CSeries&) = delete;
    CSeries& operator=(const CSeries&) = delete;

    // Opens the port and starts (once: a series that has run does not start again). A wrong or busy
    // port is an error at once; a port not there yet
    // (`waitForPort`), or a worker that could not start, is tried again every half second for
    // as long as `keepWaiting(why)` says: it tells, and waits kPortRetryInterval the face's way
    // (a signal may end the wait). Not Started: why.
    StartResult Start(bool waitForPort = false,
                      const std::function<bool(const StartResult&)>& keepWaiting = nullptr);

    // The next outcome, within `timeout`; nothing when none came. Held prints are tried again
    // here, on the caller's thread. After Ended, nothing.
    std::optional<SeriesOutcome> Next(std::chrono::milliseconds timeout);

    // Ends the series: a print it cuts off, and the Ended, come from Next.
    void Stop();

    // Takes up the copies a series of this prefix left in the rescue folder (its own, after a
    // restart) as held prints; how many.
    std::size_t TakeUp();

    std::size_t BytesOfCurrentPrint() const { return receiver_.BytesOfCurrentPrint(); }
    bool PortPresent() const { return receiver_.PortPresent(); }
    bool Holding() const { return holding_; }
    std::optional<PrintTemplate> Template() const { return receiver_.Template(); }
    const CCaptureKeeper::Counts& Counted() const { return keeper_.Counted(); }
    const KeeperOptions& Keeping() const { return keeper_.Options(); }
    // How often held prints are tried again: not more often than a tenth of a second.
    std::chrono::milliseconds RetryInterval() const {
        return std::max(options_.retryInterval, std::chrono::milliseconds(100));
    }

private:
    void Take(Print print);
    void RetryHeld();
    void Push(SeriesOutcome outcome) { outcomes_.push_back(std::move(outcome)); }

    SeriesOptions options_;
    CCaptureKeeper keeper_;
    PrintQueue prints_;
    std::deque<SeriesOutcome> outcomes_;
    bool holding_ = false;
    bool toldBeyond_ = false;
    bool toldLost_ = false;
    unsigned heldWritten_ = 0;
    std::chrono::steady_clock::time_point nextRetry_;
    bool portGone_ = false;
    bool started_ = false;
    bool ended_ = false;
    std::optional<Kept> failure_;
    CSerialReceiver receiver_; // last: its worker stops before what it hands prints to goes
};

} // namespace krt460
