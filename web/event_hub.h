#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace krt460::web {

// Hands every event to every open event stream. Each stream holds a server worker for as long
// as it is open, so their number is limited; Stop wakes every stream so that the server can
// join its workers.
class EventHub {
public:
    explicit EventHub(std::size_t maxStreams) : maxStreams_(maxStreams) {}

    // One open stream: its place among the limited few, and how far it has read.
    class Stream {
    public:
        explicit Stream(EventHub& hub, std::uint64_t next) : hub_(hub), next_(next) {}
        ~Stream();
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;

        enum class Wake { Events, Idle, Stopped };
        // Waits up to `idle` for events after those read; `text` gets them as the stream sends
        // them (a "reset" event when so many came meanwhile that some were dropped).
        Wake Next(std::chrono::milliseconds idle, std::string& text);

    private:
        EventHub& hub_;
        std::uint64_t next_;
    };

    // A place for one more stream, or none when maxStreams are open (or the hub stopped).
    std::unique_ptr<Stream> Open();
    // `name` and one line of `data` as one server-sent event.
    void Publish(const std::string& name, const std::string& data);
    void Stop();
    std::size_t MaxStreams() const { return maxStreams_; }

private:
    static constexpr std::size_t kKept = 512; // events a slow stream may lag behind

    const std::size_t maxStreams_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> events_; // the last kKept, the first of them number first_
    std::uint64_t first_ = 0;
    std::size_t open_ = 0;
    bool stopped_ = false;
};

} // namespace krt460::web
