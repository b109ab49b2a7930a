#include "capture/serial_receiver.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace krt460 {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kDeadline = 20s; // generous: only a hang ever reaches it

// Every value 0x00-0xFF (XON, XOFF, ^C, CR, 0x1A, ...) with the end marker at `markerAt`.
Bytes TestFrame(int markerAt) {
    Bytes frame(kFrameLength);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 7);
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

// Records the owner services and lets a test wait for them.
class RecordingOwner : public IReceiverOwner {
public:
    void ShowMessage(const std::string& text) override { Record(messages_, text); }
    void SetLamp(LampState state) override { Record(lamps_, state); }
    void StoreLampAndRepaint(LampState state) override { Record(workerLamps_, state); }

    std::vector<std::string> Messages() { return Get(messages_); }
    std::vector<LampState> Lamps() { return Get(lamps_); }
    std::vector<LampState> WorkerLamps() { return Get(workerLamps_); }

private:
    template <typename T> void Record(std::vector<T>& list, T value) {
        const std::lock_guard lock(mutex_);
        list.push_back(std::move(value));
    }
    template <typename T> std::vector<T> Get(const std::vector<T>& list) {
        const std::lock_guard lock(mutex_);
        return list;
    }
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::vector<LampState> lamps_;
    std::vector<LampState> workerLamps_;
};

// Wraps the real ports to count opens, closes and bytes read.
struct PortLedger {
    std::atomic<int> opened{0};
    std::atomic<int> closed{0};
    std::atomic<int> bytesRead{0};
    std::atomic<int> reads{0};

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
        CountingPort(PortLedger& ledger, std::unique_ptr<SerialPort> port)
            : ledger_(ledger), port_(std::move(port)) {}
        ~CountingPort() override { ++ledger_.closed; }
        ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                        std::chrono::milliseconds wait) override {
            ++ledger_.reads;
            const ReadResult result = port_->Read(buffer, got, wait);
            ledger_.bytesRead += static_cast<int>(got);
            return result;
        }

    private:
        PortLedger& ledger_;
        std::unique_ptr<SerialPort> port_;
    };
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
    RecordingOwner owner_;
    PortLedger ledger_;
    CSerialReceiver receiver_{owner_, *capture_, ledger_.Opener()};
};

TEST_F(SerialReceiverTest, CompleteCaptureStoresEveryByteValueAndLeavesThe3329thUnread) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath());
    ASSERT_EQ(owner_.Lamps(), std::vector<LampState>{LampState::Receiving});
    EXPECT_TRUE(capture_->IsRunning());

    Bytes sent = TestFrame(3325);
    Bytes withExtra = sent;
    withExtra.push_back(0x99);
    pty.Write(withExtra);
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));

    EXPECT_EQ(capture_->Count(), kFrameLength);
    EXPECT_FALSE(capture_->IsRunning());
    const CaptureBytes stored = capture_->Bytes();
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), stored.begin()));
    EXPECT_EQ(ledger_.bytesRead, static_cast<int>(kFrameLength));
    EXPECT_EQ(owner_.WorkerLamps(), std::vector<LampState>{LampState::Received});
    EXPECT_EQ(ledger_.opened, 1);
    EXPECT_EQ(ledger_.closed, 1);
    EXPECT_TRUE(owner_.Messages().empty());
}

TEST_F(SerialReceiverTest, LampTurnsRedOnlyWithTheEndMarker) {
    struct Case {
        int markerAt;
        bool received;
    };
    for (const Case c : {Case{3324, true}, Case{3325, true}, Case{0, false}}) {
        RecordingOwner owner;
        CSerialReceiver receiver(owner, *capture_);
        PtyPair pty;
        receiver.StartReceive(pty.SlavePath());
        pty.Write(TestFrame(c.markerAt));
        ASSERT_TRUE(receiver.WaitUntilFinished(kDeadline));
        EXPECT_EQ(owner.WorkerLamps().size(), c.received ? 1u : 0u) << "marker " << c.markerAt;
        EXPECT_EQ(owner.Lamps(), std::vector<LampState>{LampState::Receiving});
    }
}

TEST_F(SerialReceiverTest, SecondReceiveOnTheBusyPortFailsAndTheWorkerStartsOver) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath());
    const Bytes frame = TestFrame(3324);
    pty.Write(Bytes(frame.begin(), frame.begin() + 1000));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 1000; }));

    receiver_.StartReceive(pty.SlavePath());
    EXPECT_EQ(owner_.Messages(), std::vector<std::string>{"Error: Open COM port!"});
    EXPECT_EQ(capture_->Count(), 0);
    EXPECT_TRUE(receiver_.IsWorking());

    // The running worker needs a whole further frame.
    pty.Write(frame);
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));
    const CaptureBytes stored = capture_->Bytes();
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), stored.begin()));
    EXPECT_EQ(owner_.WorkerLamps().size(), 1u);
    EXPECT_EQ(ledger_.opened, 1);
    EXPECT_EQ(ledger_.closed, 1);
}

TEST_F(SerialReceiverTest, ReceiveOnAnotherPortStopsTheWorkerFirst) {
    PtyPair first;
    PtyPair second;
    receiver_.StartReceive(first.SlavePath());
    first.Write(Bytes(500, 0x11));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 500; }));

    receiver_.StartReceive(second.SlavePath());
    EXPECT_EQ(ledger_.closed, 1); // the first port, closed by its worker before the new start
    EXPECT_EQ(capture_->Count(), 0);
    first.Write(Bytes(100, 0x22)); // nobody reads the first port any more
    const Bytes frame = TestFrame(3325);
    second.Write(frame);
    ASSERT_TRUE(receiver_.WaitUntilFinished(kDeadline));
    const CaptureBytes stored = capture_->Bytes();
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), stored.begin()));
    EXPECT_EQ(ledger_.opened, 2);
    EXPECT_EQ(ledger_.closed, 2);
    EXPECT_EQ(owner_.WorkerLamps().size(), 1u);
}

TEST_F(SerialReceiverTest, StopEndsAStalledCaptureAndReleasesThePort) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath());
    pty.Write(Bytes(10, 0x0A));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 10; }));
    receiver_.Stop();
    EXPECT_FALSE(receiver_.IsWorking());
    EXPECT_FALSE(capture_->IsRunning());
    EXPECT_EQ(ledger_.closed, 1);
    EXPECT_TRUE(owner_.WorkerLamps().empty());
    // Released: the same port opens again.
    receiver_.StartReceive(pty.SlavePath());
    EXPECT_TRUE(owner_.Messages().empty());
    EXPECT_EQ(ledger_.opened, 2);
}

TEST_F(SerialReceiverTest, StalledCaptureWaitsInsteadOfPolling) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return std::chrono::steady_clock::now() - start > 300ms; }));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // A polling loop reads hundreds of thousands of times here; a waiting one about 15.
    const auto bound = 10 + 2 * (elapsed / kReadWait);
    EXPECT_LE(ledger_.reads, bound);
}

TEST_F(SerialReceiverTest, FailedOpenReportsOnceAndChangesNothingElse) {
    capture_->Store(1);
    receiver_.StartReceive("/dev/krt460-no-such-port");
    EXPECT_EQ(owner_.Messages(), std::vector<std::string>{"Error: Open COM port!"});
    EXPECT_NE(receiver_.LastOpenError().Describe().find("No such file"), std::string::npos);
    EXPECT_TRUE(owner_.Lamps().empty());
    EXPECT_FALSE(capture_->IsRunning());
    EXPECT_EQ(capture_->Count(), 0); // the count restarts before the open
}

TEST_F(SerialReceiverTest, WorkerThatCannotStartClosesThePortSilently) {
    PtyPair pty;
    CSerialReceiver receiver(owner_, *capture_, ledger_.Opener(), [](std::function<void()>) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread();
    });
    receiver.StartReceive(pty.SlavePath());
    EXPECT_TRUE(owner_.Messages().empty());
    EXPECT_TRUE(owner_.Lamps().empty());
    EXPECT_FALSE(capture_->IsRunning());
    EXPECT_EQ(ledger_.opened, 1);
    EXPECT_EQ(ledger_.closed, 1);
}

TEST(SerialPort, PortHeldByAnotherProgramIsRefused) {
    PtyPair pty;
    const int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    const OpenResult result = OpenSerialPort(pty.SlavePath());
    EXPECT_EQ(result.port, nullptr);
    EXPECT_NE(result.error.Describe().find("in use"), std::string::npos);
    ::close(other);
    EXPECT_NE(OpenSerialPort(pty.SlavePath()).port, nullptr);
}

TEST(SerialPort, PortNamesMapToDevicesAndNothingElseOpens) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM2", "/dev/ttyS1"},
        {"com10", "/dev/ttyS9"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"COM0", ""},
        {"COM", ""},
        {"COM1 ", ""},
        {"COMX", ""},
        {"", ""},
        {"KRT460.ini", ""},
        {"\\\\host\\share\\x", ""},
        {"COM01", ""},
    };
    for (const auto& [name, device] : cases) {
        EXPECT_EQ(SerialDeviceName(name), device) << '"' << name << '"';
    }
    EXPECT_EQ(OpenSerialPort("/dev/null").port, nullptr); // a character device, but no tty
}

} // namespace
} // namespace krt460
