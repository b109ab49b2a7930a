// Plays the instrument: sends a recorded hardcopy over a serial line at the pace of 9600 baud 8N1,
// either to a serial device or to a pseudo-terminal it creates (the other program opens the
// slave, whose path is printed on stdout).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void OnStop(int) {
    stopRequested = 1;
}

struct Options {
    std::string frameFile;
    std::string device;
    std::string link;
    long stopAfter = -1;
    std::size_t extra = 0;
    int repeat = 1;
    bool waitOpen = false;
    unsigned baud = 9600;
    int pauseMs = 500;
    std::string trigger;
};

[[noreturn]] void Fail(const std::string& what) {
    std::cerr << "instrument_simulator: " << what << ": " << std::strerror(errno) << '\n';
    std::exit(1);
}

// Waits until a program holds the slave open; a pty master sees POLLHUP while nobody does.
bool WaitForOpen(int master) {
    while (!stopRequested) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) < 0 && errno != EINTR) {
            return false;
        }
        if ((p.revents & POLLHUP) == 0) {
            return true;
        }
        std::this_thread::sleep_for(20ms); // POLLHUP keeps poll from waiting
    }
    return false;
}

// After the open, a receiver flushes its input; bytes sent before that would be lost. In packet
// mode the master is told of the flush. Gives up after `limit` for receivers that do not flush.
void WaitForFlush(int master, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!stopRequested && Clock::now() < deadline) {
        pollfd p{master, POLLIN | POLLPRI, 0};
        if (::poll(&p, 1, 20) <= 0 || (p.revents & (POLLIN | POLLPRI)) == 0) {
            continue;
        }
        unsigned char packet[64];
        const ssize_t n = ::read(master, packet, sizeof packet);
        if (n > 0 && packet[0] != TIOCPKT_DATA && (packet[0] & TIOCPKT_FLUSHREAD) != 0) {
            return;
        }
    }
}

void SendPaced(int fd, const std::vector<std::uint8_t>& bytes, unsigned baud) {
    // Ten bit times a byte: start bit, eight data bits, stop bit.
    const auto byteTime = std::chrono::duration<double>(baud == 0 ? 0.0 : 10.0 / baud);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < bytes.size() && !stopRequested; ++i) {
        std::this_thread::sleep_until(start +
                                      std::chrono::duration_cast<Clock::duration>(byteTime * i));
        while (::write(fd, &bytes[i], 1) != 1) {
            if (errno != EINTR && errno != EAGAIN) {
                Fail("write");
            }
            std::this_thread::sleep_for(1ms);
        }
        if (i == 0) {
            // Wall-clock time, so that a script can measure from here to a receiver's exit.
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            std::fprintf(stderr, "instrument_simulator: first byte at %lld.%09ld\n",
                         static_cast<long long>(now.tv_sec), now.tv_nsec);
        }
    }
}

// Reads and drops what reaches the master (packet-mode notices, anything the receiver sends);
// true when nobody holds the slave open.
bool DrainMaster(int master, int waitMs) {
    pollfd p{master, POLLIN, 0};
    ::poll(&p, 1, waitMs);
    if (p.revents & POLLIN) {
        unsigned char discard[64];
        (void)::read(master, discard, sizeof discard);
    }
    return (p.revents & POLLHUP) != 0;
}

void WaitForHangup(int master) {
    while (!stopRequested && !DrainMaster(master, 50)) {
    }
}

// A test presses the instrument's print key by writing the trigger file.
void RunTriggered(int fd, const std::vector<std::uint8_t>& frame, const Options& o) {
    while (!stopRequested) {
        std::ifstream request(o.trigger);
        if (!request) {
            DrainMaster(fd, 20);
            continue;
        }
        std::size_t count = frame.size();
        request >> count;
        request.close();
        ::unlink(o.trigger.c_str());
        SendPaced(fd,
                  {frame.begin(), frame.begin() + static_cast<long>(std::min(count, frame.size()))},
                  o.baud);
        std::fprintf(stderr, "instrument_simulator: sent %zu bytes\n",
                     std::min(count, frame.size()));
    }
}

int OpenDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Fail("open " + path);
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&tio, B9600);
        ::cfsetospeed(&tio, B9600);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Instrument simulator: sends a hardcopy at the pace of a serial line."};
    app.add_option("FRAME", o.frameFile, "Hardcopy file to send")->required();
    app.add_option("--device", o.device, "Write to this serial device instead of a new pty");
    app.add_option("--link", o.link, "Also make this symbolic link to the pty's slave");
    app.add_option("--stop-after", o.stopAfter, "Send only the first N bytes of each frame");
    app.add_option("--extra", o.extra, "Send N further bytes (0x7E) after each frame");
    app.add_option("--repeat", o.repeat, "Frames to send; 0 sends until stopped")->default_val(1);
    app.add_flag("--wait-open", o.waitOpen,
                 "Before each frame, wait until the other side opens the port (pty only)");
    app.add_option("--baud", o.baud, "Pace; 0 sends as fast as possible")->default_val(9600);
    app.add_option("--pause-ms", o.pauseMs, "Pause between frames without --wait-open")
        ->default_val(500);
    app.add_option("--trigger", o.trigger,
                   "Send whenever this file appears (then remove it): as many bytes of the frame "
                   "as the number it holds, or the whole frame when it is empty; until stopped");
    CLI11_PARSE(app, argc, argv);

    std::ifstream file(o.frameFile, std::ios::binary);
    if (!file) {
        Fail("read " + o.frameFile);
    }
    std::vector<std::uint8_t> frame(std::istreambuf_iterator<char>(file), {});
    if (o.stopAfter >= 0 && static_cast<std::size_t>(o.stopAfter) < frame.size()) {
        frame.resize(static_cast<std::size_t>(o.stopAfter));
    }
    frame.insert(frame.end(), o.extra, 0x7E);

    std::signal(SIGINT, OnStop);
    std::signal(SIGTERM, OnStop);
    std::signal(SIGPIPE, SIG_IGN);

    int fd = -1;
    bool isPty = false;
    if (!o.device.empty()) {
        fd = OpenDevice(o.device);
    } else {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&fd, &slave, name, nullptr, nullptr) != 0) {
            Fail("openpty");
        }
        termios tio{};
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        ::close(slave);
        int packetMode = 1;
        ::ioctl(fd, TIOCPKT, &packetMode);
        isPty = true;
        if (!o.link.empty()) {
            ::unlink(o.link.c_str());
            if (::symlink(name, o.link.c_str()) != 0) {
                Fail("link " + o.link);
            }
        }
        std::printf("%s\n", name);
        std::fflush(stdout);
    }

    if (!o.trigger.empty()) {
        RunTriggered(fd, frame, o);
    }
    for (int sent = 0; o.trigger.empty() && !stopRequested && (o.repeat == 0 || sent < o.repeat);
         ++sent) {
        if (isPty && o.waitOpen) {
            if (!WaitForOpen(fd)) {
                break;
            }
            WaitForFlush(fd, 2s);
        } else if (sent > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(o.pauseMs));
        }
        SendPaced(fd, frame, o.baud);
        std::fprintf(stderr, "instrument_simulator: sent %zu bytes\n", frame.size());
        if (isPty && o.waitOpen) {
            WaitForHangup(fd); // the receiver lets go before the next frame is offered
        }
    }
    if (isPty && o.trigger.empty()) {
        // Keep the pty while the receiver may still read what is queued.
        WaitForHangup(fd);
        if (!o.link.empty()) {
            ::unlink(o.link.c_str());
        }
    }
    ::close(fd);
    return 0;
}
