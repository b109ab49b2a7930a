#include "capture/serial_receiver.h"
#include "pty_pair.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>

namespace krt460 {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kDeadline = 20s; // generous: only a hang ever reaches it

// Every value 0x00-0xFF (XON, XOFF, ^C, CR, 0x1A, ...) with the end marker at 3325.
Bytes TestFrame() {
    Bytes frame(kFrameLength);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 7);
    }
    frame[3324] = 0x00;
    std::copy_n("\x0A\x1B\x33", 3, frame.begin() + 3325);
    return frame;
}

// The owner: keeps what the worker hands over, and counts the ports opened and closed and the
// reads.
class Recorder : public PrintQueue {
public:
    // The next print handed over; fails the test when none comes.
    Print Next() {
        std::optional<Print> print = Wait(kDeadline);
        EXPECT_TRUE(print.has_value());
        return print ? std::move(*print) : Print{};
    }

    std::atomic<int> opened{0}, closed{0}, reads{0};

    CSerialReceiver::PortOpener Opener() {
        return [this](const std::string& name, std::stop_token) {
            OpenResult result = OpenSerialPort(name);
            if (result.port) {
                ++opened;
                result.port = std::make_unique<CountingPort>(*this, std::move(result.port));
            }
            return result;
        };
    }

private:
    struct CountingPort : SerialPort {
        CountingPort(Recorder& r, std::unique_ptr<SerialPort> p)
            : recorder(r), port(std::move(p)) {}
        ~CountingPort() override { ++recorder.closed; }
        ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                        std::chrono::milliseconds wait) override {
            ++recorder.reads;
            return port->Read(buffer, got, wait);
        }
        Recorder& recorder;
        std::unique_ptr<SerialPort> port;
    };
};

CaptureOptions InMode(ReceiveMode mode) {
    CaptureOptions options;
    options.mode = mode;
    return options;
}

template <typename Predicate> bool WaitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// A port that plays a script: each step's bytes, with the line errors the driver counted with
// them; a step without bytes is a read that found the line idle, or ends as `result` says.
struct ScriptedPort : SerialPort {
    struct Step {
        Bytes bytes;
        LineErrors errors{true};
        ReadResult result = ReadResult::Nothing;
    };
    explicit ScriptedPort(std::vector<Step> script) : steps(script.begin(), script.end()) {}
    ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                    std::chrono::milliseconds wait) override {
        Step& step = steps.empty() ? idle : steps.front();
        counted += std::exchange(step.errors, {});
        got = std::min(buffer.size(), step.bytes.size());
        std::copy_n(step.bytes.begin(), got, buffer.begin());
        step.bytes.erase(step.bytes.begin(), step.bytes.begin() + static_cast<long>(got));
        const ReadResult result = got > 0 ? ReadResult::Data : step.result;
        if (step.bytes.empty() && !steps.empty()) {
            steps.pop_front();
        }
        if (result == ReadResult::Nothing) {
            std::this_thread::sleep_for(wait);
        }
        return result;
    }
    LineErrors TakeLineErrors() override { return std::exchange(counted, LineErrors{true}); }

    std::deque<Step> steps;
    Step idle;
    LineErrors counted{true};
};

class SerialReceiverTest : public ::testing::Test {
protected:
    std::unique_ptr<CCaptureBuffer> capture_ = std::make_unique<CCaptureBuffer>();
    Recorder owner_;
    CSerialReceiver receiver_{owner_, *capture_, owner_.Opener()};
};

// Print after print through one open port, read by waiting, not polling: prints sent back to
// back come out whole, each as its own value. An unplugged adapter hangs the line up (POLLHUP for
// ever): the loss is told, and what was learned of the instrument carries over the reconnect: once
// the adapter is back, a print followed at once by the next one's first bytes comes out at its
// 3328th byte, not only once the line pauses after a whole print. A stop hands over what was under
// way.
TEST_F(SerialReceiverTest, EveryPrintKeepsEachPrintAndWhatItLearnedAcrossAReconnect) {
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    PtyPair pty;
    CaptureOptions options = InMode(ReceiveMode::EveryPrint);
    options.reconnect = true;
    ASSERT_EQ(receiver_.StartReceive(pty.SlavePath(), options).outcome, StartOutcome::Started);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(300ms); // the line is quiet until the instrument prints
    // A polling loop reads hundreds of thousands of times here; a waiting one about 15.
    EXPECT_LE(owner_.reads, 10 + 2 * ((std::chrono::steady_clock::now() - start) / kReadWait));
    Bytes stream = sample;
    stream.insert(stream.end(), sample.begin(), sample.end());
    pty.Write(stream);
    EXPECT_EQ(owner_.Next().bytes, sample);
    EXPECT_EQ(owner_.Next().bytes, sample);
    if (!pty.HangUp()) {
        GTEST_SKIP() << "TIOCVHANGUP needs root";
    }
    EXPECT_EQ(owner_.Next().end, CaptureEnd::PortLost);
    ASSERT_TRUE(WaitFor([&] { return receiver_.PortPresent(); }));
    stream.resize(kFrameLength + 500);
    pty.Write(stream);
    EXPECT_EQ(owner_.Next().bytes, sample);
    ASSERT_TRUE(WaitFor([&] { return receiver_.BytesOfCurrentPrint() == 500; }));
    const auto seen = std::chrono::system_clock::now();
    receiver_.Stop();
    const Print cut = owner_.Next();
    EXPECT_EQ(cut.end, CaptureEnd::Stopped);
    EXPECT_EQ(cut.bytes.size(), 500u);
    EXPECT_NE(cut.lastByteAt, std::chrono::system_clock::time_point{}); // named for its last byte
    EXPECT_LE(cut.lastByteAt, seen);
    EXPECT_EQ(owner_.opened, 2);
    EXPECT_EQ(owner_.closed, 2);
}

// Ja while a print arrives: the new capture takes the first whole print the framer finds, by
// what was learned of the instrument, else by the layout; never the rest of the print cut off
// with the start of the next, whether the instrument pauses before that rest or not. After the
// rest and a pause, a new print that does not come whole: what arrived of it is kept.
TEST_F(SerialReceiverTest, JaTakesTheFirstWholePrintAfterTheRestOfTheOneCutOff) {
    using Step = ScriptedPort::Step;
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    const Bytes rest(sample.begin() + 1000, sample.end()); // the rest of the print cut off
    Bytes restThenPrint = rest;
    restThenPrint.insert(restThenPrint.end(), sample.begin(), sample.end());
    Bytes damaged = sample;
    damaged.erase(damaged.begin() + 2000); // a byte lost on the line
    const Bytes begun(sample.begin(), sample.begin() + 2000);
    const struct {
        const char* name;
        bool learned;
        std::vector<Step> script;
        Bytes kept;
        CaptureEnd end;
    } cases[] = {
        {"the instrument known", true, {{restThenPrint}}, sample, CaptureEnd::Complete},
        {"nothing learned", false, {{restThenPrint}}, sample, CaptureEnd::Complete},
        {"a pause before the rest",
         false,
         {{}, {}, {}, {}, {restThenPrint}},
         sample,
         CaptureEnd::Complete},
        {"a new print damaged",
         false,
         {{rest}, {}, {}, {}, {}, {damaged}},
         damaged,
         CaptureEnd::Stalled},
        {"a stop during a new print",
         false,
         {{rest}, {}, {}, {}, {}, {begun}},
         begun,
         CaptureEnd::Stopped},
    };
    for (const auto& c : cases) {
        // A print received whole after a quiet line teaches the receiver.
        std::deque<std::vector<Step>> scripts{{{}, {}, {}, {}, {sample}}, c.script};
        if (!c.learned) {
            scripts.pop_front();
        }
        CSerialReceiver receiver(owner_, *capture_, [&](const std::string&, std::stop_token) {
            OpenResult opened{std::make_unique<ScriptedPort>(scripts.front()), {}};
            scripts.pop_front();
            return opened;
        });
        if (c.learned) {
            receiver.StartReceive("scripted");
            ASSERT_TRUE(owner_.Next().IsWhole()) << c.name;
        }
        CaptureOptions options;
        options.skipRestOfPrint = true;
        options.stallTimeout = 800ms;
        ASSERT_EQ(receiver.StartReceive("scripted", options).outcome, StartOutcome::Started);
        if (c.end == CaptureEnd::Stopped) { // the count beside the lamp shows the new print's bytes
            ASSERT_TRUE(WaitFor([&] { return receiver.BytesOfCurrentPrint() == c.kept.size(); }));
            receiver.Stop();
        }
        const Print print = owner_.Next();
        EXPECT_EQ(print.bytes, c.kept) << c.name;
        EXPECT_EQ(print.end, c.end) << c.name;
    }
}

// A start that fails changes nothing, and one whose thread cannot start lets its port go. A print
// on the new port ends at its 3328th byte, every byte value kept, and leaves the 3329th unread.
TEST_F(SerialReceiverTest, AFailedStartChangesNothingAndAnotherPortTakesAWholePrint) {
    PtyPair first, second;
    receiver_.StartReceive(first.SlavePath());
    first.Write(Bytes(500, 0x11));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 500; }));
    EXPECT_EQ(receiver_.StartReceive(first.SlavePath()).outcome, StartOutcome::OpenFailed);
    CSerialReceiver noThread(owner_, *capture_, owner_.Opener(), [](auto) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    EXPECT_EQ(noThread.StartReceive(second.SlavePath(), InMode(ReceiveMode::EveryPrint)).outcome,
              StartOutcome::WorkerFailed);
    EXPECT_EQ(owner_.closed, 1);
    EXPECT_EQ(capture_->Count(), 500);
    first.Write(Bytes(100, 0x11));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 600; }));

    receiver_.StartReceive(second.SlavePath());
    EXPECT_EQ(owner_.Next().end, CaptureEnd::Stopped); // the first capture, cut short
    EXPECT_EQ(owner_.closed, 2);
    EXPECT_EQ(capture_->Count(), 0);
    const Bytes frame = TestFrame();
    second.Write(frame);
    second.Write({0x99});
    const Print print = owner_.Next();
    EXPECT_TRUE(print.IsWhole());
    EXPECT_EQ(print.end, CaptureEnd::Complete);
    EXPECT_EQ(print.bytes, frame);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), capture_->Bytes().begin()));
    EXPECT_EQ(capture_->Count(), kFrameLength);
    EXPECT_FALSE(print.lineErrors.known); // a pseudo-terminal counts none
    EXPECT_FALSE(receiver_.IsWorking());
    EXPECT_EQ(owner_.closed, 3);
}

// Line errors belong to the bytes read with them: noise or a break on an idle line is charged
// to no print, however soon one follows; errors among a print's bytes travel with it, and stray
// bytes keep their own. A print comes out once the line falls silent after it, though noise
// follows that never lets the line stay quiet for a pause.
TEST_F(SerialReceiverTest, LineErrorsBelongToTheBytesTheyCameWith) {
    using Step = ScriptedPort::Step;
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    const Step noise{{}, {true, 1, 0, 0, 1}}; // on the idle line: charged to nothing
    const Step stray{{0xFF, 0x00}, {true, 2}};
    const Step begins{Bytes(sample.begin(), sample.begin() + 1000)};
    const Step ends{Bytes(sample.begin() + 1000, sample.end()), {true, 0, 0, 1}};
    for (const ReceiveMode mode : {ReceiveMode::OnePrint, ReceiveMode::EveryPrint}) {
        const bool every = mode == ReceiveMode::EveryPrint;
        std::vector<Step> script{noise, {}};
        if (every) {
            script.insert(script.end(), {stray, {}, {}, {}, {}, noise, {}});
        }
        script.insert(script.end(), {begins, ends, {}});
        script.insert(script.end(), 2000, {{0x00}});
        CSerialReceiver receiver(owner_, *capture_, [&](const std::string&, std::stop_token) {
            return OpenResult{std::make_unique<ScriptedPort>(script), {}};
        });
        ASSERT_EQ(receiver.StartReceive("scripted", InMode(mode)).outcome, StartOutcome::Started);
        if (every) {
            const Print strayPrint = owner_.Next();
            EXPECT_TRUE(strayPrint.stray);
            EXPECT_EQ(strayPrint.lineErrors.Total(), 2u);
        }
        const Print print = owner_.Next();
        EXPECT_EQ(print.bytes, sample);
        EXPECT_TRUE(print.lineErrors.known);
        EXPECT_EQ(print.lineErrors.Total(), 1u);
        EXPECT_EQ(print.lineErrors.overrun, 1u);
        receiver.Stop();
        while (owner_.Wait(0ms)) {
        }
    }
}

// What hangs ends with the stop: a read that a driver keeps blocked past its timeouts, and a
// try to reopen a lost port that takes its time (a Bluetooth link), so that nothing holds the
// port after the stop and the next open works at once.
TEST_F(SerialReceiverTest, AStopEndsAReadOrAReconnectThatHangs) {
    struct StuckPort : SerialPort {
        std::atomic<bool> cancelled{false};
        ReadResult Read(std::span<std::uint8_t>, std::size_t& got,
                        std::chrono::milliseconds) override {
            got = 0;
            while (!cancelled.exchange(false)) {
                std::this_thread::yield();
            }
            return ReadResult::Nothing;
        }
        void CancelRead() override { cancelled = true; }
    };
    PtyPair pty;
    std::atomic<int> opens{0};
    std::atomic<bool> opening{false};
    CSerialReceiver receiver(owner_, *capture_, [&](const std::string& name, std::stop_token stop) {
        if (++opens == 1) {
            return OpenResult{std::make_unique<StuckPort>(), {}};
        }
        if (opens == 2) {
            using Lost = std::vector<ScriptedPort::Step>;
            return OpenResult{std::make_unique<ScriptedPort>(Lost{{{}, {}, ReadResult::Lost}}), {}};
        }
        if (opens == 3) {
            opening = true;
            std::atomic<int> cancels{0};
            const CancelOnStop cancel(stop, [&] { ++cancels; });
            while (!cancel.Stopped() || cancels == 1) { // the driver misses the first cancel
                std::this_thread::sleep_for(1ms);
            }
        }
        OpenResult opened = OpenSerialPort(name); // late, it claims the port all the same
        opening = false;
        return opened;
    });
    ASSERT_EQ(receiver.StartReceive("stuck").outcome, StartOutcome::Started);
    receiver.Stop(); // returns: a hang here is the fault
    CaptureOptions options = InMode(ReceiveMode::EveryPrint);
    options.reconnect = true;
    ASSERT_EQ(receiver.StartReceive(pty.SlavePath(), options).outcome, StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return opening.load(); }));
    receiver.Stop();
    EXPECT_FALSE(opening);
    EXPECT_EQ(receiver.StartReceive(pty.SlavePath()).outcome, StartOutcome::Started);
}

TEST(SerialPort, OnlyTerminalsOpenAndAHeldPortIsRefused) {
    PtyPair pty;
    const int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(OpenSerialPort(pty.SlavePath()).error.Describe().find("in use"), std::string::npos);
    ::close(other);
    // A relative path is used as it stands, and names the same port as the absolute one.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path("/dev/pts");
    const std::string relative = "./" + pty.SlavePath().substr(9);
    EXPECT_NE(OpenSerialPort(relative).port, nullptr);
    EXPECT_TRUE(SamePort(relative, pty.SlavePath()));
    std::filesystem::current_path(cwd);
    EXPECT_FALSE(SamePort("COM1", pty.SlavePath()));
    // A FIFO would block or swallow an open: it is refused before any open, as is all but a tty.
    const std::string fifo = testing::TempDir() + "krt460-fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& name : {fifo, std::string("/dev/null"), testing::TempDir()}) {
        EXPECT_NE(OpenSerialPort(name).error.Describe().find("not a serial device"),
                  std::string::npos)
            << name;
    }
    ::unlink(fifo.c_str());
    EXPECT_EQ(SerialDeviceName("com10"), "/dev/ttyS9");
    EXPECT_EQ(SerialDeviceName("\\\\.\\COM12"), "/dev/ttyS11"); // as KRT460.ini may hold it
}

} // namespace
} // namespace krt460
