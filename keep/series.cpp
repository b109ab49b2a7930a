#include "keep/series.h"

#include <algorithm>
#include <utility>

namespace krt460 {
namespace {

using Clock = std::chrono::steady_clock;

// While the port is gone, Next looks this often whether it is back.
constexpr std::chrono::milliseconds kPortLookInterval{100};

SeriesOutcome Outcome(SeriesEvent event) {
    SeriesOutcome outcome;
    outcome.event = event;
    return outcome;
}

} // namespace

CSeries::CSeries(SeriesOptions options, std::function<void()> arrived,
                 CSerialReceiver::PortOpener openPort)
    : options_(std::move(options)), keeper_(options_.keeping), prints_(std::move(arrived)),
      receiver_(prints_, CCaptureBuffer::Instance(), std::move(openPort)) {
    receiver_.Remember(options_.learned);
}

CSeries::~CSeries() {
    receiver_.Stop(); // its worker hands its last print to this series, which is still whole
}

StartResult CSeries::Start(bool waitForPort,
                           const std::function<bool(const StartResult&)>& keepWaiting) {
    if (started_) {
        return {StartOutcome::WorkerFailed, {}}; // a series runs once
    }
    CaptureOptions capture;
    capture.mode = ReceiveMode::EveryPrint;
    capture.stallTimeout = options_.stallTimeout;
    capture.reconnect = true;
    capture.skipRestOfPrint = options_.skipRestOfPrint;
    for (;;) {
        StartResult started = receiver_.StartReceive(options_.port, capture);
        if (started.outcome == StartOutcome::Started) {
            started_ = true;
            return started;
        }
        // A wrong or busy port is a mistake to tell; an absent one may be plugged in yet.
        const bool mistake =
            started.outcome == StartOutcome::OpenFailed && !(waitForPort && started.error.absent);
        if (mistake || !keepWaiting || !keepWaiting(started)) {
            return started;
        }
    }
}

std::optional<SeriesOutcome> CSeries::Next(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (!outcomes_.empty()) {
            SeriesOutcome next = std::move(outcomes_.front());
            outcomes_.pop_front();
            ended_ = next.event == SeriesEvent::Ended;
            return next;
        }
        const auto now = Clock::now();
        if (ended_) {
            return std::nullopt;
        }
        if (holding_ && now >= nextRetry_) {
            RetryHeld();
            if (!outcomes_.empty()) {
                continue;
            }
        }
        // Without a worker (stopped) no port comes back.
        if (portGone_ && receiver_.IsWorking() && receiver_.PortPresent()) {
            portGone_ = false;
            Push(Outcome(SeriesEvent::PortBack));
            continue;
        }
        auto until = deadline;
        if (portGone_) {
            until = std::min(until, now + kPortLookInterval);
        }
        if (holding_) {
            until = std::min(until, nextRetry_);
        }
        // Past the deadline this only takes a print already there.
        std::optional<Print> print = prints_.Wait(
            std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration{})));
        if (print) {
            Take(std::move(*print));
        } else if (Clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

void CSeries::Take(Print print) {
    SeriesOutcome outcome;
    outcome.kept = keeper_.Keep(print);
    const Kept& kept = outcome.kept;
    switch (kept.as) {
    case KeptAs::Held:
        outcome.event = SeriesEvent::Held;
        outcome.tell = !std::exchange(holding_, true);
        if (outcome.tell) {
            nextRetry_ = Clock::now() + RetryInterval();
        }
        break;
    case KeptAs::NotWritten:
        outcome.event = SeriesEvent::NotWritten;
        outcome.tell = kept.rescueFull        ? !std::exchange(toldLost_, true)
                       : kept.rescued.empty() ? true
                                              : !std::exchange(toldBeyond_, true);
        if (!options_.keeping.hold && !failure_) {
            // Someone watches: the series ends with the first print it could not write, and
            // the prints that came meanwhile are kept (or not) as ever.
            failure_ = kept;
            receiver_.Stop();
        }
        break;
    default:
        outcome.event = SeriesEvent::Kept;
        break;
    }
    const bool last = print.end == CaptureEnd::Stopped;
    const bool cutOff = last && !print.stray && !print.bytes.empty();
    const bool lost = print.end == CaptureEnd::PortLost && !std::exchange(portGone_, true);
    if (kept.as != KeptAs::Nothing) {
        outcome.print = std::move(print);
        Push(std::move(outcome));
    }
    if (lost) {
        Push(Outcome(SeriesEvent::PortLost));
    }
    if (!last) {
        return;
    }
    // The worker's last print: one more try for what is held, then the end.
    if (holding_) {
        RetryHeld();
    }
    SeriesOutcome ended = Outcome(SeriesEvent::Ended);
    ended.cutOff = cutOff;
    ended.stillHeld = keeper_.Held();
    ended.heldWithoutCopy = keeper_.HeldWithoutCopy();
    ended.failure = std::move(failure_);
    Push(std::move(ended));
}

void CSeries::RetryHeld() {
    for (Kept& kept : keeper_.Retry()) {
        SeriesOutcome outcome = Outcome(SeriesEvent::Kept);
        outcome.kept = std::move(kept);
        outcome.fromHold = true;
        Push(std::move(outcome));
        ++heldWritten_;
    }
    if (keeper_.Held() > 0) {
        nextRetry_ = Clock::now() + RetryInterval();
        return;
    }
    SeriesOutcome caughtUp = Outcome(SeriesEvent::CaughtUp);
    caughtUp.written = std::exchange(heldWritten_, 0);
    caughtUp.copiesLeft = toldBeyond_;
    Push(std::move(caughtUp));
    holding_ = toldBeyond_ = toldLost_ = false;
}

void CSeries::Stop() {
    if (!std::exchange(started_, true)) {
        Push(Outcome(SeriesEvent::Ended)); // never started: no worker hands over a last print
        return;
    }
    receiver_.Stop();
}

std::size_t CSeries::TakeUp() {
    const std::size_t taken = keeper_.TakeUp();
    if (taken > 0) {
        holding_ = true;
        nextRetry_ = Clock::now();
    }
    return taken;
}

} // namespace krt460
