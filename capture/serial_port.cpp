#include "capture/serial_port.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

namespace krt460 {
namespace {

std::mutex claimsMutex;
std::set<std::string>& Claims() {
    static std::set<std::string> claims;
    return claims;
}

} // namespace

std::optional<unsigned> ComPortNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) {
            return std::nullopt;
        }
    }
    unsigned number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return std::nullopt;
        }
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    if (number == 0 || name[3] == '0') {
        return std::nullopt;
    }
    return number;
}

bool NaturalLess(const std::string& a, const std::string& b) {
    const auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const std::size_t startA = i;
            const std::size_t startB = j;
            while (i < a.size() && isDigit(a[i])) {
                ++i;
            }
            while (j < b.size() && isDigit(b[j])) {
                ++j;
            }
            // Without leading zeros, the longer run of digits is the larger number.
            std::string_view numberA(a.data() + startA, i - startA);
            std::string_view numberB(b.data() + startB, j - startB);
            numberA.remove_prefix(std::min(numberA.find_first_not_of('0'), numberA.size()));
            numberB.remove_prefix(std::min(numberB.find_first_not_of('0'), numberB.size()));
            if (numberA.size() != numberB.size()) {
                return numberA.size() < numberB.size();
            }
            if (numberA != numberB) {
                return numberA < numberB;
            }
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

CancelOnStop::CancelOnStop(std::stop_token stop, std::function<void()> cancel)
    : cancel_(std::move(cancel)), callback_(std::move(stop), [this] { Cancel(); }) {
    const std::lock_guard lock(mutex_);
    opening_ = !stopped_;
}

CancelOnStop::~CancelOnStop() {
    {
        const std::lock_guard lock(mutex_);
        opening_ = false;
    }
    done_.notify_all();
}

bool CancelOnStop::Stopped() const {
    const std::lock_guard lock(mutex_);
    return stopped_;
}

void CancelOnStop::Cancel() {
    std::unique_lock lock(mutex_);
    stopped_ = true;
    while (opening_) {
        cancel_();
        done_.wait_for(lock, std::chrono::milliseconds(50));
    }
}

PortClaim::PortClaim(std::string key) {
    const std::lock_guard lock(claimsMutex);
    if (Claims().insert(key).second) {
        key_ = std::move(key);
    }
}

PortClaim::PortClaim(PortClaim&& other) noexcept : key_(std::exchange(other.key_, {})) {}

PortClaim& PortClaim::operator=(PortClaim&& other) noexcept {
    if (this != &other) {
        PortClaim old(std::move(*this));
        key_ = std::exchange(other.key_, {});
    }
    return *this;
}

PortClaim::~PortClaim() {
    if (!key_.empty()) {
        const std::lock_guard lock(claimsMutex);
        Claims().erase(key_);
    }
}

} // namespace krt460
