#include "capture/serial_receiver.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <atomic>
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

// Every value 0x00-0xFF (XON, XOFF, ^C, CR, 0x1A, ...) with the end marker at `markerAt`.
Bytes TestFrame(long markerAt, std::uint8_t seed = 0) {
    Bytes frame(kFrameLength);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    frame[3324] = frame[3325] = 0x00;
    std::copy_n("\x0A\x1B\x33", 3, frame.begin() + markerAt);
    return frame;
}

bool Holds(const CCaptureBuffer& capture, const Bytes& frame) {
    const CaptureBytes stored = capture.Bytes();
    return std::equal(frame.begin(), frame.end(), stored.begin());
}

// Records the owner services as "lamp N" and "worker lamp N", and counts the ports
// opened and closed, the reads and the bytes read.
class Recorder : public IReceiverOwner {
public:
    void SetLamp(LampState state) override { Record("lamp ", static_cast<int>(state)); }
    void StoreLampAndRepaint(LampState state) override {
        Record("worker lamp ", static_cast<int>(state));
    }
    std::vector<std::string> Events() {
        const std::lock_guard lock(mutex_);
        return events_;
    }

    std::atomic<int> opened{0}, closed{0}, reads{0}, bytesRead{0};

    CSerialReceiver::PortOpener Opener() {
        return [this](const std::string& name) {
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
            const ReadResult result = port->Read(buffer, got, wait);
            recorder.bytesRead += static_cast<int>(got);
            return result;
        }
        Recorder& recorder;
        std::unique_ptr<SerialPort> port;
    };

    void Record(const char* what, int value) {
        const std::lock_guard lock(mutex_);
        events_.push_back(what + std::to_string(value));
    }
    std::mutex mutex_;
    std::vector<std::string> events_;
};

using Events = std::vector<std::string>;
const std::string kReceiving = "lamp 1", kRed = "worker lamp 2";

template <typename Predicate> bool WaitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

class SerialReceiverTest : public ::testing::Test {
protected:
    std::unique_ptr<CCaptureBuffer> capture_ = std::make_unique<CCaptureBuffer>();
    Recorder owner_;
    CSerialReceiver receiver_{owner_, *capture_, owner_.Opener()};
};

TEST_F(SerialReceiverTest, CompleteCaptureStoresEveryByteValueAndLeavesThe3329thUnread) {
    PtyPair pty;
    ASSERT_EQ(receiver_.StartReceive(pty.SlavePath()).outcome, StartOutcome::Started);
    EXPECT_TRUE(capture_->IsRunning());

    Bytes sent = TestFrame(3325);
    Bytes withExtra = sent;
    withExtra.push_back(0x99);
    pty.Write(withExtra);
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));

    EXPECT_EQ(capture_->Count(), kFrameLength);
    EXPECT_FALSE(capture_->IsRunning());
    EXPECT_TRUE(Holds(*capture_, sent));
    EXPECT_EQ(owner_.bytesRead, static_cast<int>(kFrameLength));
    EXPECT_EQ(owner_.Events(), (Events{kReceiving, kRed}));
    EXPECT_EQ(receiver_.LastEnd(), CaptureEnd::Complete);
    EXPECT_EQ(owner_.closed, 1);
}

// An unplugged USB adapter hangs the line up: from then on poll reports POLLHUP and read
// returns 0 at once, for ever. The capture ends instead of spinning, with the bytes so far.
TEST_F(SerialReceiverTest, HangupEndsTheCaptureAsPortLostWithoutSpinning) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath());
    const Bytes frame = TestFrame(3324);
    pty.Write(Bytes(frame.begin(), frame.begin() + 1000));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 1000; }));
    if (!pty.HangUp()) {
        GTEST_SKIP() << "TIOCVHANGUP needs root";
    }
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));
    EXPECT_EQ(receiver_.LastEnd(), CaptureEnd::PortLost);
    EXPECT_EQ(owner_.Events(), (Events{kReceiving})); // no red lamp
    EXPECT_EQ(capture_->Count(), 1000);
    EXPECT_FALSE(capture_->IsRunning());
    EXPECT_EQ(owner_.closed, 1);
    EXPECT_LT(owner_.reads, 200); // a spinning worker reads millions of times
}

// listen keeps the port from one print to the next: bytes that arrive before the next frame is
// asked for are its start, and the 3329th byte of a stream is the next frame's first.
TEST_F(SerialReceiverTest, KeptPortReceivesFramesBackToBackWithoutLosingAByte) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath(), AfterFrame::KeepPortOpen);
    const Bytes first = TestFrame(3324, 1);
    const Bytes second = TestFrame(3325, 2);
    Bytes stream = first;
    stream.insert(stream.end(), second.begin(), second.end());
    pty.Write(stream);
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));
    EXPECT_TRUE(Holds(*capture_, first));
    EXPECT_EQ(owner_.closed, 0);

    ASSERT_EQ(receiver_.ReceiveNext().outcome, StartOutcome::Started);
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));
    EXPECT_TRUE(Holds(*capture_, second));
    EXPECT_EQ(owner_.opened, 1);
    EXPECT_EQ(owner_.Events(), (Events{kReceiving, kRed, kReceiving, kRed}));
    EXPECT_EQ(receiver_.LastEnd(), CaptureEnd::Complete);
}

// A second Receive on the busy port fails and restarts the count, the worker going on; one on
// another port stops the worker first.
TEST_F(SerialReceiverTest, SecondReceiveFailsOnTheBusyPortAndStopsTheWorkerForAnother) {
    PtyPair first;
    PtyPair second;
    receiver_.StartReceive(first.SlavePath());
    first.Write(Bytes(500, 0x11));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 500; }));
    EXPECT_EQ(receiver_.StartReceive(first.SlavePath()).outcome, StartOutcome::OpenFailed);
    EXPECT_EQ(capture_->Count(), 0);
    first.Write(Bytes(100, 0x11));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 100; })); // stored from index 0

    receiver_.StartReceive(second.SlavePath());
    EXPECT_EQ(owner_.closed, 1); // the first port, closed by its worker before the new start
    EXPECT_EQ(capture_->Count(), 0);
    first.Write(Bytes(100, 0x22)); // nobody reads the first port any more
    const Bytes frame = TestFrame(3325);
    second.Write(frame);
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));
    EXPECT_TRUE(Holds(*capture_, frame));
    EXPECT_EQ(owner_.closed, 2);
}

TEST_F(SerialReceiverTest, StalledCaptureWaitsInsteadOfPollingAndStopReleasesThePort) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return std::chrono::steady_clock::now() - start > 300ms; }));
    // A polling loop reads hundreds of thousands of times here; a waiting one about 15.
    EXPECT_LE(owner_.reads, 10 + 2 * ((std::chrono::steady_clock::now() - start) / kReadWait));
    receiver_.Stop();
    EXPECT_FALSE(capture_->IsRunning());
    EXPECT_EQ(owner_.Events(), (Events{kReceiving}));
    EXPECT_EQ(receiver_.StartReceive(pty.SlavePath()).outcome, StartOutcome::Started);
}

// A driver that ignores the read timeouts: Stop cancels the read instead of hanging.
TEST_F(SerialReceiverTest, StopCancelsAReadThatNeverReturns) {
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
    CSerialReceiver receiver(owner_, *capture_, [](const std::string&) {
        return OpenResult{std::make_unique<StuckPort>(), {}};
    });
    ASSERT_EQ(receiver.StartReceive("stuck").outcome, StartOutcome::Started);
    receiver.Stop(); // returns: a hang here is the fault
    EXPECT_FALSE(receiver.IsWorking());
}

TEST_F(SerialReceiverTest, FailedStartsSayWhyAndChangeNothingElse) {
    capture_->Store(1);
    const StartResult missing = receiver_.StartReceive("/dev/krt460-no-such-port");
    EXPECT_EQ(missing.outcome, StartOutcome::OpenFailed);
    EXPECT_NE(missing.error.Describe().find("No such file"), std::string::npos);
    EXPECT_EQ(capture_->Count(), 0); // the count restarts before the open

    PtyPair pty;
    CSerialReceiver receiver(owner_, *capture_, owner_.Opener(), [](std::function<void()>) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread();
    });
    EXPECT_EQ(receiver.StartReceive(pty.SlavePath()).outcome, StartOutcome::WorkerFailed);
    EXPECT_TRUE(owner_.Events().empty());
    EXPECT_FALSE(capture_->IsRunning());
    EXPECT_EQ(owner_.closed, owner_.opened);
}

TEST(SerialPort, OnlyTerminalsOpenAndAHeldPortIsRefused) {
    PtyPair pty;
    const int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(OpenSerialPort(pty.SlavePath()).error.Describe().find("in use"), std::string::npos);
    ::close(other);
    // A relative path is used as it stands.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path("/dev/pts");
    EXPECT_NE(OpenSerialPort("./" + pty.SlavePath().substr(9)).port, nullptr);
    std::filesystem::current_path(cwd);
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
}

} // namespace
} // namespace krt460
