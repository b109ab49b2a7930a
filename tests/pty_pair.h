#pragma once

#include <cstdint>
#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace krt460::test {

// A pseudo-terminal: the test writes to the master, the code under test opens the slave by
// name as it would a serial device.
class PtyPair {
public:
    PtyPair() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        slavePath_ = name;
        ::close(slave);
    }
    ~PtyPair() { ::close(master_); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    void Write(const std::vector<std::uint8_t>& bytes) const {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                throw std::runtime_error("write to pty master failed");
            }
            done += static_cast<std::size_t>(n);
        }
    }
    // What the kernel does to a line whose USB adapter is pulled (TIOCVHANGUP; needs root).
    bool HangUp() const {
        const int slave = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool done = slave >= 0 && ::ioctl(slave, TIOCVHANGUP) == 0;
        ::close(slave);
        return done;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

} // namespace krt460::test
