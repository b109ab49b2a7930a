#include "capture/serial_port.h"

#include <cctype>
#include <mutex>
#include <set>
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
