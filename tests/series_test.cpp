#include "keep/series.h"
#include "pty_pair.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace krt460 {
namespace {

using namespace std::chrono_literals;

// What a face hears, in order: each outcome as a value, nothing told twice that a face tells once.
class SeriesTest : public ::testing::Test {
protected:
    SeriesOptions Options(bool hold) {
        SeriesOptions options;
        options.port = pty_.SlavePath();
        options.retryInterval = 50ms;
        options.keeping.dir = dir_.Path().string();
        options.keeping.rescueDir = rescue_.Path().string();
        options.keeping.hold = hold;
        options.keeping.writeFile = [this](const std::string& path,
                                           std::span<const std::uint8_t> bytes,
                                           std::string& error) {
            if (full_) {
                error = "No space left on device";
                return NewFileResult::Failed;
            }
            return WriteNewFileAtomically(path, bytes, error);
        };
        return options;
    }
    SeriesOutcome Next(CSeries& series) {
        std::optional<SeriesOutcome> next = series.Next(20s); // only a hang reaches it
        EXPECT_TRUE(next.has_value());
        return next ? std::move(*next) : SeriesOutcome{};
    }

    test::PtyPair pty_;
    test::ScratchDir dir_, rescue_;
    std::atomic<bool> full_{false};
    std::atomic<bool> present_{true}; // the adapter is plugged in
    const std::vector<std::uint8_t> sample_ = test::ReadFileBytes(KRT460_SAMPLE_FRAME);
};

TEST_F(SeriesTest, KeepsHoldsRetriesAndFollowsThePortUntilStopped) {
    CSeries series(Options(true), nullptr, [this](const std::string& name, std::stop_token stop) {
        return present_ ? OpenSerialPort(name, stop)
                        : OpenResult{nullptr, {"open", ENOENT, "No such file or directory", true}};
    });
    ASSERT_EQ(series.Start().outcome, StartOutcome::Started);
    pty_.Write(sample_);
    SeriesOutcome kept = Next(series);
    EXPECT_EQ(kept.event, SeriesEvent::Kept);
    EXPECT_EQ(kept.kept.as, KeptAs::Picture);
    EXPECT_EQ(kept.print.bytes, sample_);

    full_ = true;
    pty_.Write(sample_);
    pty_.Write(sample_);
    const SeriesOutcome first = Next(series), second = Next(series);
    EXPECT_TRUE(first.event == SeriesEvent::Held && first.tell) << "holding is told as it begins";
    EXPECT_TRUE(second.event == SeriesEvent::Held && !second.tell);
    full_ = false;
    for (int i = 0; i < 2; ++i) {
        const SeriesOutcome written = Next(series);
        EXPECT_TRUE(written.event == SeriesEvent::Kept && written.fromHold);
        EXPECT_EQ(written.kept.as, KeptAs::Picture);
    }
    const SeriesOutcome caughtUp = Next(series);
    EXPECT_EQ(caughtUp.event, SeriesEvent::CaughtUp);
    EXPECT_EQ(caughtUp.written, 2u);
    EXPECT_EQ(series.Counted().pictures, 3u);

    // The adapter pulled out and plugged in again, then pulled out during a print and the
    // series stopped: its return is told only when it came back.
    present_ = false;
    if (!pty_.HangUp()) {
        GTEST_SKIP() << "TIOCVHANGUP needs root";
    }
    EXPECT_EQ(Next(series).event, SeriesEvent::PortLost);
    present_ = true;
    EXPECT_EQ(Next(series).event, SeriesEvent::PortBack);
    pty_.Write({sample_.begin(), sample_.begin() + 100});
    for (const auto deadline = std::chrono::steady_clock::now() + 20s;
         series.BytesOfCurrentPrint() < 100 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(5ms); // until the worker holds them
    }
    present_ = false;
    pty_.HangUp();
    const SeriesOutcome cut = Next(series);
    EXPECT_TRUE(cut.kept.as == KeptAs::Partial && cut.kept.end == CaptureEnd::PortLost);
    EXPECT_EQ(Next(series).event, SeriesEvent::PortLost);
    series.Stop();
    const SeriesOutcome ended = Next(series);
    EXPECT_EQ(ended.event, SeriesEvent::Ended);
    EXPECT_TRUE(!ended.cutOff && ended.stillHeld == 0 && !ended.failure);
    EXPECT_FALSE(series.Next(0ms).has_value()) << "nothing after the end";
}

// Someone watches: the first print that cannot be written ends the series, and is told with it.
TEST_F(SeriesTest, WithoutHoldAPrintThatCannotBeWrittenEndsTheSeries) {
    CSeries series(Options(false));
    ASSERT_EQ(series.Start().outcome, StartOutcome::Started);
    full_ = true;
    pty_.Write(sample_);
    const SeriesOutcome failed = Next(series);
    EXPECT_EQ(failed.event, SeriesEvent::NotWritten);
    const SeriesOutcome ended = Next(series);
    EXPECT_EQ(ended.event, SeriesEvent::Ended);
    ASSERT_TRUE(ended.failure.has_value());
    EXPECT_EQ(ended.failure->error, "No space left on device");
}

} // namespace
} // namespace krt460
