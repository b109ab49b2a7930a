// Serial ports on Linux and other POSIX systems: termios on a tty device.
#include "capture/serial_port.h"
#include "common/file_output.h"
#include "common/unique_handle.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace krt460 {
namespace {

void CloseFd(int fd) {
    ::close(fd);
}
using UniqueFd = UniqueHandle<SimpleHandleTraits<int, CloseFd, -1>>;

PortError SystemError(std::string operation, int code) {
    const bool absent = code == ENOENT || code == ENODEV || code == ENXIO || code == ENOTDIR;
    return {std::move(operation), code, SystemErrorText(static_cast<unsigned long>(code)), absent};
}

// The driver's running error counts; nothing where the driver keeps none (a pseudo-terminal).
std::optional<serial_icounter_struct> ErrorCounters(int fd) {
    serial_icounter_struct counters{};
    if (::ioctl(fd, TIOCGICOUNT, &counters) != 0) {
        return std::nullopt;
    }
    return counters;
}

unsigned Delta(int now, int before) {
    return static_cast<unsigned>(now - before);
}

class PosixSerialPort final : public SerialPort {
public:
    PosixSerialPort(PortClaim claim, UniqueFd fd)
        : claim_(std::move(claim)), fd_(std::move(fd)), counted_(ErrorCounters(fd_.get())) {}

    ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                    std::chrono::milliseconds wait) override {
        // With VMIN and VTIME 0 an empty read means "nothing queued" here; only after poll has
        // said the port is readable does it mean the line is gone.
        ReadResult result = ReadQueued(buffer, got);
        if (result != ReadResult::Nothing) {
            return result;
        }
        pollfd readable{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(wait.count()));
        if (ready < 0) {
            return errno == EINTR ? ReadResult::Nothing : ReadResult::Failed;
        }
        if (ready == 0) {
            return ReadResult::Nothing;
        }
        // A hang-up (adapter unplugged, TIOCVHANGUP) keeps reporting POLLHUP at once, for ever.
        if ((readable.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return ReadResult::Lost;
        }
        result = ReadQueued(buffer, got);
        return result == ReadResult::Nothing ? ReadResult::Lost : result; // readable, yet empty
    }

    LineErrors TakeLineErrors() override {
        const auto now = counted_ ? ErrorCounters(fd_.get()) : std::nullopt;
        if (!now) {
            return {};
        }
        const LineErrors errors{
            true, Delta(now->frame, counted_->frame), Delta(now->parity, counted_->parity),
            Delta(now->overrun + now->buf_overrun, counted_->overrun + counted_->buf_overrun),
            Delta(now->brk, counted_->brk)};
        counted_ = now;
        return errors;
    }

private:
    ReadResult ReadQueued(std::span<std::uint8_t> buffer, std::size_t& got) {
        got = 0;
        const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return ReadResult::Data;
        }
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return ReadResult::Nothing;
        }
        return errno == EIO || errno == ENXIO || errno == ENODEV ? ReadResult::Lost
                                                                 : ReadResult::Failed;
    }

    // Declared first, released last: the device is closed before another open may claim it.
    PortClaim claim_;
    UniqueFd fd_;
    std::optional<serial_icounter_struct> counted_; // the counts at the last look
};

PortError Configure(int fd, const std::string& device) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return SystemError("read settings of " + device, errno);
    }
    ::cfmakeraw(&tio); // binary: no byte is translated, stripped or taken as a signal
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        return SystemError("set 9600 8N1 on " + device, errno);
    }
    // DTR and RTS up; a pseudo-terminal has no modem lines and refuses, which does no harm.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIS, &lines);
    // Bytes that arrived before this capture belong to no hardcopy of it.
    ::tcflush(fd, TCIOFLUSH);
    return {};
}

} // namespace

std::string SerialDeviceName(const std::string& name) {
    // COMn, also in the \\.\COMn form that KRT460.ini may hold for the Windows program.
    const std::string com = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    if (const auto number = ComPortNumber(com)) {
        return "/dev/ttyS" + std::to_string(*number - 1);
    }
    // Any other name is a path, relative or absolute; the checks at the open decide.
    return name;
}

bool SamePort(const std::string& a, const std::string& b) {
    const std::string deviceA = SerialDeviceName(a);
    const std::string deviceB = SerialDeviceName(b);
    struct stat infoA {};
    struct stat infoB {};
    if (::stat(deviceA.c_str(), &infoA) == 0 && ::stat(deviceB.c_str(), &infoB) == 0) {
        return S_ISCHR(infoA.st_mode) && S_ISCHR(infoB.st_mode) && infoA.st_rdev == infoB.st_rdev;
    }
    return deviceA == deviceB;
}

// Opened without waiting for the carrier, so that a Bluetooth link never holds the open: nothing
// to stop.
OpenResult OpenSerialPort(const std::string& name, std::stop_token) {
    const std::string device = SerialDeviceName(name);
    if (device.empty()) {
        return {nullptr, {"open port", ENOENT, "no port name given"}};
    }
    // Opening a FIFO, a disk or some other devices has effects of its own: look first.
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) {
        return {nullptr, SystemError("open " + device, errno)};
    }
    if (!S_ISCHR(info.st_mode)) {
        return {nullptr,
                {"open " + device, ENOTTY, "not a serial device (not a character device)"}};
    }
    UniqueFd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        return {nullptr, SystemError("open " + device, errno)};
    }
    if (::fstat(fd.get(), &info) != 0 || !S_ISCHR(info.st_mode) || !::isatty(fd.get())) {
        return {nullptr, {"open " + device, ENOTTY, "not a serial device (not a terminal)"}};
    }
    PortClaim claim("posix:" + std::to_string(info.st_rdev));
    if (!claim.Held()) {
        return {nullptr, SystemError("open " + device, EBUSY)};
    }
    // Other processes: an advisory lock that every careful program checks, and TIOCEXCL, which
    // makes the kernel refuse further opens by unprivileged ones.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return {nullptr, {"open " + device, errno, "in use by another program"}};
    }
    (void)::ioctl(fd.get(), TIOCEXCL);
    if (PortError error = Configure(fd.get(), device); !error.operation.empty()) {
        return {nullptr, std::move(error)};
    }
    return {std::make_unique<PosixSerialPort>(std::move(claim), std::move(fd)), {}};
}

} // namespace krt460
