#include "web/event_hub.h"

namespace krt460::web {

EventHub::Stream::~Stream() {
    const std::lock_guard lock(hub_.mutex_);
    --hub_.open_;
}

EventHub::Stream::Wake EventHub::Stream::Next(std::chrono::milliseconds idle, std::string& text) {
    std::unique_lock lock(hub_.mutex_);
    const auto end = [&] { return hub_.first_ + hub_.events_.size(); };
    if (!hub_.changed_.wait_for(lock, idle, [&] { return hub_.stopped_ || next_ < end(); })) {
        return Wake::Idle;
    }
    if (hub_.stopped_) {
        return Wake::Stopped;
    }
    text.clear();
    if (next_ < hub_.first_) {
        text = "event: reset\ndata: {}\n\n"; // the page reads the whole list again
    } else {
        for (std::uint64_t n = next_; n < end(); ++n) {
            text += hub_.events_[static_cast<std::size_t>(n - hub_.first_)];
        }
    }
    next_ = end();
    return Wake::Events;
}

std::unique_ptr<EventHub::Stream> EventHub::Open() {
    const std::lock_guard lock(mutex_);
    if (stopped_ || open_ >= maxStreams_) {
        return nullptr;
    }
    ++open_;
    return std::make_unique<Stream>(*this, first_ + events_.size());
}

void EventHub::Publish(const std::string& name, const std::string& data) {
    {
        const std::lock_guard lock(mutex_);
        events_.push_back("event: " + name + "\ndata: " + data + "\n\n");
        if (events_.size() > kKept) {
            events_.pop_front();
            ++first_;
        }
    }
    changed_.notify_all();
}

void EventHub::Stop() {
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

} // namespace krt460::web
