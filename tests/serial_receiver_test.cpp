#include "capture/serial_receiver.h"
#include "pty_pair.h"
#include "test_files.h"

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

class SerialReceiverTest : public ::testing::Test {
protected:
    std::unique_ptr<CCaptureBuffer> capture_ = std::make_unique<CCaptureBuffer>();
    Recorder owner_;
    CSerialReceiver receiver_{owner_, *capture_, owner_.Opener()};
};

TEST_F(SerialReceiverTest, CompleteCaptureStoresEveryByteValueAndLeavesThe3329thUnread) {
    PtyPair pty;
    ASSERT_EQ(receiver_.StartReceive(pty.SlavePath()).outcome, StartOutcome::Started);
    Bytes sent = TestFrame(3325);
    Bytes withExtra = sent;
    withExtra.push_back(0x99);
    pty.Write(withExtra);

    const Print print = owner_.Next();
    EXPECT_EQ(print.end, CaptureEnd::Complete);
    EXPECT_TRUE(print.IsWhole());
    EXPECT_EQ(print.bytes, sent);
    EXPECT_TRUE(Holds(*capture_, sent));
    EXPECT_EQ(capture_->Count(), kFrameLength);
    EXPECT_FALSE(print.lineErrors.known); // a pseudo-terminal counts none
    EXPECT_FALSE(receiver_.IsWorking());
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
    const Print print = owner_.Next();
    EXPECT_EQ(print.end, CaptureEnd::PortLost);
    EXPECT_EQ(print.bytes, Bytes(frame.begin(), frame.begin() + 1000));
    EXPECT_FALSE(print.hasEndMarker);
    EXPECT_EQ(owner_.closed, 1);
    EXPECT_LT(owner_.reads, 200); // a spinning worker reads millions of times
}

// Print after print through one open port: prints sent back to back come out whole, each as
// its own value. What was learned of the instrument carries over a reconnect: once the adapter
// is back, a print followed at once by the next one's first bytes comes out at its 3328th byte,
// not only once the line pauses after a whole print. A stop hands over what was under way.
TEST_F(SerialReceiverTest, EveryPrintKeepsEachPrintAndWhatItLearnedAcrossAReconnect) {
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    PtyPair pty;
    CaptureOptions options = InMode(ReceiveMode::EveryPrint);
    options.reconnect = true;
    ASSERT_EQ(receiver_.StartReceive(pty.SlavePath(), options).outcome, StartOutcome::Started);
    std::this_thread::sleep_for(150ms); // the line is quiet until the instrument prints
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
    receiver_.Stop();
    const Print cut = owner_.Next();
    EXPECT_EQ(cut.end, CaptureEnd::Stopped);
    EXPECT_EQ(cut.bytes.size(), 500u);
    EXPECT_EQ(owner_.opened, 2);
    EXPECT_EQ(owner_.closed, 2);
}

// Ja while a print arrives: the new capture skips the rest of the print cut off and stores the
// next one whole. It finds it by what was learned of the instrument, else by how the cut-off
// print began if it began as a print does, else after a pause; never by column bytes of a
// capture that joined mid-print.
TEST_F(SerialReceiverTest, JaSkipsTheRestOfThePrintCutOff) {
    const Bytes sample = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
    const Bytes rest(sample.begin() + 2400, sample.end());
    const Bytes joined(sample.begin() + 2000, sample.begin() + 2400); // columns only
    const Bytes began(sample.begin(), sample.begin() + 2400);
    const struct {
        const char* name;
        bool learned;
        Bytes cutOff;
        bool pause;
    } cases[] = {
        {"joined mid-print, the instrument known", true, joined, false},
        {"the cut-off print's leading part", false, began, false},
        {"joined mid-print, nothing known: the pause", false, joined, true},
    };
    for (const auto& c : cases) {
        PtyPair pty;
        auto capture = std::make_unique<CCaptureBuffer>();
        CSerialReceiver receiver(owner_, *capture, owner_.Opener());
        if (c.learned) { // a print received whole after a quiet line teaches the receiver
            receiver.StartReceive(pty.SlavePath());
            std::this_thread::sleep_for(150ms);
            pty.Write(sample);
            ASSERT_TRUE(owner_.Next().IsWhole()) << c.name;
        }
        CaptureOptions options;
        options.skipRestOfPrint = true;
        options.cutOff = c.cutOff;
        ASSERT_EQ(receiver.StartReceive(pty.SlavePath(), options).outcome, StartOutcome::Started);
        pty.Write(rest);
        if (c.pause) {
            std::this_thread::sleep_for(700ms); // the user presses the print key again
        }
        pty.Write(sample);
        const Print print = owner_.Next();
        EXPECT_EQ(print.bytes, sample) << c.name;
        EXPECT_TRUE(print.IsWhole()) << c.name;
    }
}

TEST_F(SerialReceiverTest, AFailedOpenChangesNothingAndAnotherPortRestartsCleanly) {
    PtyPair first;
    PtyPair second;
    receiver_.StartReceive(first.SlavePath());
    first.Write(Bytes(500, 0x11));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 500; }));
    EXPECT_EQ(receiver_.StartReceive(first.SlavePath()).outcome, StartOutcome::OpenFailed);
    EXPECT_EQ(receiver_.StartReceive("/dev/krt460-no-such-port").outcome, StartOutcome::OpenFailed);
    EXPECT_EQ(capture_->Count(), 500);
    first.Write(Bytes(100, 0x11));
    ASSERT_TRUE(WaitFor([&] { return capture_->Count() == 600; }));

    receiver_.StartReceive(second.SlavePath());
    EXPECT_EQ(owner_.Next().end, CaptureEnd::Stopped); // the first capture, cut short
    EXPECT_EQ(owner_.closed, 1);
    EXPECT_EQ(capture_->Count(), 0);
    const Bytes frame = TestFrame(3325);
    second.Write(frame);
    EXPECT_EQ(owner_.Next().bytes, frame);
    EXPECT_EQ(owner_.closed, 2);
}

TEST_F(SerialReceiverTest, StalledCaptureWaitsInsteadOfPollingAndEndsAfterItsTimeout) {
    PtyPair pty;
    receiver_.StartReceive(pty.SlavePath());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return std::chrono::steady_clock::now() - start > 300ms; }));
    // A polling loop reads hundreds of thousands of times here; a waiting one about 15.
    EXPECT_LE(owner_.reads, 10 + 2 * ((std::chrono::steady_clock::now() - start) / kReadWait));
    receiver_.Stop();
    EXPECT_EQ(owner_.Next().end, CaptureEnd::Stopped);

    CaptureOptions options;
    options.stallTimeout = 200ms;
    ASSERT_EQ(receiver_.StartReceive(pty.SlavePath(), options).outcome, StartOutcome::Started);
    pty.Write(Bytes(100, 0x22));
    const Print stalled = owner_.Next();
    EXPECT_EQ(stalled.end, CaptureEnd::Stalled);
    EXPECT_EQ(stalled.bytes.size(), 100u);
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

// The driver's error counts travel with the print they came with: a wrong baud rate shows.
TEST_F(SerialReceiverTest, LineErrorsTravelWithTheirPrint) {
    struct NoisyPort : SerialPort {
        Bytes frame;
        bool sent = false;
        ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                        std::chrono::milliseconds wait) override {
            if (sent) {
                std::this_thread::sleep_for(wait);
            }
            got = sent ? 0 : std::min(buffer.size(), frame.size());
            std::copy_n(frame.begin(), got, buffer.begin());
            frame.erase(frame.begin(), frame.begin() + static_cast<long>(got));
            sent = frame.empty();
            return got > 0 ? ReadResult::Data : ReadResult::Nothing;
        }
        LineErrors TakeLineErrors() override { return {true, 2, 0, 1, 0}; }
    };
    for (const ReceiveMode mode : {ReceiveMode::OnePrint, ReceiveMode::EveryPrint}) {
        CSerialReceiver receiver(owner_, *capture_, [](const std::string&) {
            auto port = std::make_unique<NoisyPort>();
            port->frame = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
            return OpenResult{std::move(port), {}};
        });
        ASSERT_EQ(receiver.StartReceive("noisy", InMode(mode)).outcome, StartOutcome::Started);
        const Print print = owner_.Next();
        EXPECT_TRUE(print.lineErrors.known);
        EXPECT_GE(print.lineErrors.framing, 2u);
        EXPECT_GE(print.lineErrors.Total(), 3u);
        receiver.Stop();
        while (owner_.Wait(std::chrono::milliseconds(0))) {
        }
    }
}

TEST_F(SerialReceiverTest, AThreadThatCannotStartReleasesThePort) {
    PtyPair pty;
    CSerialReceiver receiver(owner_, *capture_, owner_.Opener(), [](std::function<void()>) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread();
    });
    EXPECT_EQ(receiver.StartReceive(pty.SlavePath()).outcome, StartOutcome::WorkerFailed);
    EXPECT_FALSE(owner_.Wait(std::chrono::milliseconds(0)).has_value());
    EXPECT_EQ(owner_.closed, owner_.opened);
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
