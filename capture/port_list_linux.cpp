// The serial ports of a Linux system, from /dev and /sys.
#include "capture/serial_port.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace krt460 {
namespace {

namespace fs = std::filesystem;

// A built-in UART node exists whether or not hardware answers behind it.
bool UartAnswers(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    serial_struct info{};
    bool answers = false;
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
        answers = info.type != PORT_UNKNOWN;
    } else {
        termios tio{};
        answers = ::tcgetattr(fd, &tio) == 0;
    }
    ::close(fd);
    return answers;
}

std::string DriverOf(const std::string& deviceName) {
    std::error_code ignored;
    const fs::path driver =
        fs::read_symlink("/sys/class/tty/" + deviceName + "/device/driver", ignored);
    return driver.empty() ? "" : "driver " + driver.filename().string();
}

// ttyS10 after ttyS9.
bool NaturalLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        const std::size_t digits = s.find_last_not_of("0123456789") + 1;
        return std::make_pair(s.substr(0, digits),
                              digits < s.size() ? std::stoul(s.substr(digits)) : 0ul);
    };
    return split(a) < split(b);
}

} // namespace

std::vector<PortInfo> ListSerialPorts() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0 ||
            (name.rfind("ttyS", 0) == 0 && UartAnswers(entry.path().string()))) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    std::vector<PortInfo> ports;
    for (const std::string& name : names) {
        ports.push_back({"/dev/" + name, DriverOf(name)});
    }
    for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
        std::error_code ignored;
        const fs::path target = fs::canonical(entry.path(), ignored);
        ports.push_back({entry.path().string(), "-> " + target.string()});
    }
    return ports;
}

} // namespace krt460
