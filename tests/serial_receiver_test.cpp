#include "capture/serial_receiver.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace krt460 {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kDeadline = 20s; // generous: only a hang ever reaches it

// Every value 0x00-0xFF (XON, XOFF, ^C, CR, 0x1A, ...) with the end marker at `markerAt`.
Bytes TestFrame(int markerAt, std::uint8_t seed = 0) {
    Bytes frame(kFrameLength);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    frame[3324] = frame[3325] = 0x00;
    if (markerAt > 0) {
        const auto at = static_cast<std::size_t>(markerAt);
        frame[at] = 0x0A;
        frame[at + 1] = 0x1B;
        frame[at + 2] = 0x33;
    }
    return frame;
}

bool Holds(const CCaptureBuffer& capture, const Bytes& frame) {
    const CaptureBytes stored = capture.Bytes();
    return std::equal(frame.begin(), frame.end(), stored.begin());
}

// Records the owner services, and counts the ports opened and closed, the reads and the bytes.
class Recorder : public IReceiverOwner {
public:
    void SetLamp(LampState state) override { Record(lamps_, state); }
    void StoreLampAndRepaint(LampState state) override { Record(workerLamps_, state); }
    void StoreCaptureEnd(CaptureEnd end) override { Record(ends_, end); }

    std::vector<LampState> Lamps() { return Get(lamps_); }
    std::vector<LampState> WorkerLamps() { return Get(workerLamps_); }
    std::vector<CaptureEnd> Ends() { return Get(ends_); }

    std::atomic<int> opened{0};
    std::atomic<int> closed{0};
    std::atomic<int> reads{0};
    std::atomic<int> bytesRead{0};

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
    class CountingPort : public SerialPort {
    public:
        CountingPort(Recorder& recorder, std::unique_ptr<SerialPort> port)
            : recorder_(recorder), port_(std::move(port)) {}
        ~CountingPort() override { ++recorder_.closed; }
        ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                        std::chrono::milliseconds wait) override {
            ++recorder_.reads;
            const ReadResult result = port_->Read(buffer, got, wait);
            recorder_.bytesRead += static_cast<int>(got);
            return result;
        }

    private:
        Recorder& recorder_;
        std::unique_ptr<SerialPort> port_;
    };

    template <typename T> void Record(std::vector<T>& list, T value) {
        const std::lock_guard lock(mutex_);
        list.push_back(value);
    }
    template <typename T> std::vector<T> Get(const std::vector<T>& list) {
        const std::lock_guard lock(mutex_);
        return list;
    }
    std::mutex mutex_;
    std::vector<LampState> lamps_;
    std::vector<LampState> workerLamps_;
    std::vector<CaptureEnd> ends_;
};

template <typename Predicate> bool WaitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
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
    ASSERT_EQ(owner_.Lamps(), std::vector<LampState>{LampState::Receiving});
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
    EXPECT_EQ(owner_.WorkerLamps(), std::vector<LampState>{LampState::Received});
    EXPECT_EQ(owner_.Ends(), std::vector<CaptureEnd>{CaptureEnd::Complete});
    EXPECT_EQ(owner_.opened, 1);
    EXPECT_EQ(owner_.closed, 1);
}

TEST_F(SerialReceiverTest, LampTurnsRedOnlyWithTheEndMarker) {
    for (const int markerAt : {3324, 3325, 0}) {
        Recorder owner;
        CSerialReceiver receiver(owner, *capture_);
        PtyPair pty;
        receiver.StartReceive(pty.SlavePath());
        pty.Write(TestFrame(markerAt));
        ASSERT_TRUE(receiver.WaitUntilFinished(kDeadline));
        EXPECT_EQ(owner.WorkerLamps().size(), markerAt > 0 ? 1u : 0u) << "marker " << markerAt;
    }
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
    EXPECT_EQ(owner_.Ends(), std::vector<CaptureEnd>{CaptureEnd::PortLost});
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
    EXPECT_EQ(owner_.WorkerLamps().size(), 2u);
}

TEST_F(SerialReceiverTest, SecondReceiveOnTheBusyPortFailsAndTheWorkerStartsOver) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath());
    const Bytes frame = TestFrame(3324);
    pty.Write(Bytes(frame.begin(), frame.begin() + 1000));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 1000; }));

    EXPECT_EQ(receiver_.StartReceive(pty.SlavePath()).outcome, StartOutcome::OpenFailed);
    EXPECT_EQ(capture_->Count(), 0);
    EXPECT_TRUE(receiver_.IsWorking());

    // The running worker needs a whole further frame.
    pty.Write(frame);
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));
    EXPECT_TRUE(Holds(*capture_, frame));
    EXPECT_EQ(owner_.opened, 1);
}

TEST_F(SerialReceiverTest, ReceiveOnAnotherPortStopsTheWorkerFirst) {
    PtyPair first;
    PtyPair second;
    receiver_.StartReceive(first.SlavePath());
    first.Write(Bytes(500, 0x11));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 500; }));

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
    EXPECT_EQ(owner_.Ends(), std::vector<CaptureEnd>{CaptureEnd::Stopped});
    EXPECT_EQ(receiver_.StartReceive(pty.SlavePath()).outcome, StartOutcome::Started);
}

// A driver that ignores the read timeouts: Stop cancels the read instead of hanging.
TEST_F(SerialReceiverTest, StopCancelsAReadThatNeverReturns) {
    class StuckPort : public SerialPort {
    public:
        ReadResult Read(std::span<std::uint8_t>, std::size_t& got,
                        std::chrono::milliseconds) override {
            got = 0;
            std::unique_lock lock(mutex_);
            cancelled_.wait(lock, [this] { return cancel_; });
            cancel_ = false;
            return ReadResult::Nothing;
        }
        void CancelRead() override {
            const std::lock_guard lock(mutex_);
            cancel_ = true;
            cancelled_.notify_all();
        }

    private:
        std::mutex mutex_;
        std::condition_variable cancelled_;
        bool cancel_ = false;
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
    EXPECT_TRUE(owner_.Lamps().empty());
    EXPECT_FALSE(capture_->IsRunning());
    EXPECT_EQ(owner_.closed, owner_.opened);
}

TEST(SerialPort, OnlyTerminalsOpenAndAHeldPortIsRefused) {
    PtyPair pty;
    const int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(OpenSerialPort(pty.SlavePath()).error.Describe().find("in use"), std::string::npos);
    ::close(other);

    // A relative path is used as it stands.
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(std::filesystem::path(pty.SlavePath()).parent_path());
    EXPECT_NE(
        OpenSerialPort("./" + std::filesystem::path(pty.SlavePath()).filename().string()).port,
        nullptr);
    std::filesystem::current_path(cwd);

    // A FIFO would block or swallow an open; it is refused before any open.
    const std::string fifo = testing::TempDir() + "krt460-fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& name : {fifo, std::string("/dev/null"), testing::TempDir()}) {
        const OpenResult result = OpenSerialPort(name);
        EXPECT_EQ(result.port, nullptr) << name;
        EXPECT_NE(result.error.Describe().find("not a serial device"), std::string::npos) << name;
    }
    ::unlink(fifo.c_str());
    EXPECT_EQ(SerialDeviceName("COM1"), "/dev/ttyS0");
    EXPECT_EQ(SerialDeviceName("com10"), "/dev/ttyS9");
}

} // namespace
} // namespace krt460
