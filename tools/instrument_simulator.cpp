// Plays the instrument: sends a recorded hardcopy over a serial line at the pace of 9600 baud 8N1,
// either to a serial device or to a pseudo-terminal it creates (the other program opens the
// slave, whose path is printed on stdout).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
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
    long hangupAfter = -1;
    double comeBackSeconds = -1;
};

[[noreturn]] void Fail(const std::string& what) {
    std::cerr << "instrument_simulator: " << what << ": " << std::strerror(errno) << '\n';
    std::exit(1);
}

// True while nobody holds the pty's slave open.
bool NobodyListens(int master) {
    pollfd p{master, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
}

// Reads what reached the master, if anything (a packet-mode notice, whatever the receiver sent):
// true when it tells that the receiver flushed its input.
bool ReadFlushNotice(int master) {
    pollfd p{master, POLLIN, 0};
    unsigned char packet[64];
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0 &&
           ::read(master, packet, sizeof packet) > 0 && packet[0] != TIOCPKT_DATA &&
           (packet[0] & TIOCPKT_FLUSHREAD) != 0;
}

// Sends at the pace of the line. From byte `untilHangup` on, a receiver that has let go ends the
// stream: the rest would reach whoever opens the port next. True when it ended that way.
bool SendPaced(int fd, const std::vector<std::uint8_t>& bytes, unsigned baud,
               std::size_t untilHangup = SIZE_MAX) {
    // Ten bit times a byte: start bit, eight data bits, stop bit.
    const auto byteTime = std::chrono::duration<double>(baud == 0 ? 0.0 : 10.0 / baud);
    auto start = Clock::now();
    for (std::size_t i = 0; i < bytes.size() && !stopRequested; ++i) {
        if (i >= untilHangup && NobodyListens(fd)) {
            return true;
        }
        std::this_thread::sleep_until(start +
                                      std::chrono::duration_cast<Clock::duration>(byteTime * i));
        // A receiver that flushes once more while it settles (Wine's PurgeComm flushes the input
        // twice) has thrown away what came: it gets the bytes again from the first. A flush
        // before the first byte threw away nothing.
        if (ReadFlushNotice(fd) && i > 0) {
            std::fprintf(stderr, "instrument_simulator: flushed after %zu bytes: again\n", i);
            start = Clock::now();
            i = 0;
        }
        while (::write(fd, &bytes[i], 1) != 1) {
            if (errno != EINTR && errno != EAGAIN) {
                Fail("write");
            }
            std::this_thread::sleep_for(1ms);
        }
        if (i == 0 || i + 1 == bytes.size()) {
            // Wall-clock time, so that a script can measure from here to what a receiver does.
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            std::fprintf(stderr, "instrument_simulator: %s byte at %lld.%09ld\n",
                         i == 0 ? "first" : "last", static_cast<long long>(now.tv_sec),
                         now.tv_nsec);
        }
    }
    return false;
}

// Reads and drops what reaches the master (anything the receiver sends), counting the receiver's
// flushes of its input (packet-mode notices) into `flushes`; true when nobody holds the slave.
bool DrainMaster(int master, int waitMs, int* flushes = nullptr) {
    pollfd p{master, POLLIN, 0};
    ::poll(&p, 1, waitMs);
    if (ReadFlushNotice(master) && flushes != nullptr) {
        ++*flushes;
    }
    if (p.revents & POLLHUP) {
        std::this_thread::sleep_for(20ms); // POLLHUP keeps poll from waiting
    }
    return (p.revents & POLLHUP) != 0;
}

// Waits until a program holds the slave open and has flushed its input, as a receiver does after
// the open: a byte sent before that flush is lost. A flush by one who let go counts for nothing.
bool WaitForReceiver(int master) {
    int flushes = 0;
    while (!stopRequested) {
        if (DrainMaster(master, 50, &flushes)) {
            flushes = 0;
        } else if (flushes > 0) {
            return true;
        }
    }
    return false;
}

void WaitForHangup(int master) {
    while (!stopRequested && !DrainMaster(master, 50)) {
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

// A new pseudo-terminal in packet mode (so that a receiver's flush is seen), its slave raw,
// with `link` pointing at the slave. Returns the master; `slaveName` gets the slave's path.
int OpenPty(const std::string& link, std::string& slaveName) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        Fail("openpty");
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::close(slave);
    int packetMode = 1;
    ::ioctl(master, TIOCPKT, &packetMode);
    slaveName = name;
    if (!link.empty()) {
        const std::string temporary = link + ".new";
        ::unlink(temporary.c_str());
        if (::symlink(name, temporary.c_str()) != 0 ||
            ::rename(temporary.c_str(), link.c_str()) != 0) {
            Fail("link " + link);
        }
    }
    std::printf("%s\n", name);
    std::fflush(stdout);
    return master;
}

// What the kernel does when a USB adapter is pulled: every open file of the line is hung up.
void HangUp(const std::string& slaveName) {
    const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0 || ::ioctl(slave, TIOCVHANGUP) != 0) {
        Fail("hang up " + slaveName + " (TIOCVHANGUP needs root)");
    }
    ::close(slave);
    std::fprintf(stderr, "instrument_simulator: line hung up\n");
}

void Sleep(double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (!stopRequested && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
}

// A hang-up discards what the receiver has not read yet, so the test would depend on how fast
// the receiver is: wait until the slave's input queue is empty, however slow the reader. The
// bytes written reach that queue through the kernel's flip buffer, which a poll of the slave
// empties first.
void WaitUntilRead(const std::string& slaveName) {
    const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int queued = 0;
    const auto giveUp = Clock::now() + 60s;
    for (pollfd p{slave, POLLIN, 0}; !stopRequested && Clock::now() < giveUp &&
                                     ::poll(&p, 1, 0) >= 0 &&
                                     ::ioctl(slave, FIONREAD, &queued) == 0 && queued > 0;) {
        std::this_thread::sleep_for(10ms);
    }
    ::close(slave);
}

// A test presses the instrument's print key by writing the trigger file.
void RunTriggered(int& fd, std::string& slaveName, const std::vector<std::uint8_t>& frame,
                  const Options& o) {
    int flushes = 0; // by receivers of the pty offered now
    while (!stopRequested) {
        std::ifstream request(o.trigger);
        if (!request) {
            DrainMaster(fd, 20, &flushes);
            continue;
        }
        // "N": the first N bytes of the frame; "A-B": bytes A to B, the rest of a print the
        // instrument was interrupted in (past the frame's end, the next one follows at once);
        // "Nx": N whole frames back to back; nothing: the whole frame. "?" asks whether the port is
        // held: TRIGGER.answer says "closed", or "open N" after N flushes by its receivers, so
        // that a test knows when a receiver has opened the port afresh.
        std::string range;
        std::string then;
        request >> range >> then;
        request.close();
        ::unlink(o.trigger.c_str());
        if (range == "?") {
            DrainMaster(fd, 0, &flushes); // a flush just before the question
            const std::string answer = o.trigger + ".answer";
            std::ofstream(answer + ".new")
                << (NobodyListens(fd) ? "closed" : "open " + std::to_string(flushes));
            std::filesystem::rename(answer + ".new", answer);
            continue;
        }
        // Offsets into the frame sent again and again: past its end, the next frame follows.
        std::size_t from = 0;
        std::size_t to = frame.size();
        if (const auto dash = range.find('-'); dash != std::string::npos) {
            from = std::stoul(range.substr(0, dash));
            to = std::stoul(range.substr(dash + 1));
        } else if (!range.empty() && range.back() == 'x') {
            to = std::stoul(range) * frame.size();
        } else if (!range.empty()) {
            to = std::stoul(range);
        }
        from = std::min(from, to);
        std::vector<std::uint8_t> bytes;
        for (std::size_t at = from; at < to; ++at) {
            bytes.push_back(frame[at % frame.size()]);
        }
        SendPaced(fd, bytes, o.baud);
        std::fprintf(stderr, "instrument_simulator: sent %zu bytes\n", bytes.size());
        if (then == "hangup" && !slaveName.empty()) {
            // The adapter pulled out after these bytes, and plugged in again at once.
            WaitUntilRead(slaveName);
            HangUp(slaveName);
            ::close(fd);
            fd = OpenPty(o.link, slaveName);
            flushes = 0;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Instrument simulator: sends a hardcopy at the pace of a serial line."};
    app.add_option("FRAME", o.frameFile, "Hardcopy file to send")->required();
    app.add_option("--device", o.device, "Write to this serial device instead of a new pty");
    app.add_option("--link", o.link, "Also make this symbolic link to the pty's slave");
    app.add_option("--stop-after", o.stopAfter, "Send only the first N bytes of each frame");
    app.add_option("--extra", o.extra,
                   "Send N further bytes (0x7E) right after each frame (with --wait-open, only "
                   "while the receiver still holds the port)");
    app.add_option("--repeat", o.repeat, "Frames to send; 0 sends until stopped")->default_val(1);
    app.add_flag("--wait-open", o.waitOpen,
                 "Before each frame, wait until the other side opens the port and flushes it "
                 "(pty only): the next frame waits for the next open");
    app.add_option("--baud", o.baud, "Pace; 0 sends as fast as possible")->default_val(9600);
    app.add_option("--pause-ms", o.pauseMs, "Pause between frames without --wait-open")
        ->default_val(500);
    app.add_option("--trigger", o.trigger,
                   "Send whenever this file appears (then remove it): as many bytes of the frame "
                   "as the number it holds (A-B: bytes A to B; Nx: N frames back to back), or the "
                   "whole frame when it is empty; until stopped; \"?\" answers in FILE.answer "
                   "\"closed\", or \"open N\": held, after N flushes by its receivers. "
                   "\"N hangup\" then hangs the line up and offers a new pty at --link (pty only, "
                   "needs root)");
    app.add_option("--hangup-after", o.hangupAfter,
                   "After N bytes of the first frame, hang the line up as an unplugged adapter "
                   "does (TIOCVHANGUP; pty only, needs root)");
    app.add_option("--come-back", o.comeBackSeconds,
                   "After the hang-up, wait this long, then offer a new pty at --link (the "
                   "adapter plugged in again) and send the remaining frames");
    CLI11_PARSE(app, argc, argv);

    std::error_code error;
    if (std::filesystem::is_directory(o.frameFile, error)) {
        errno = EISDIR;
        Fail("read " + o.frameFile);
    }
    std::ifstream file(o.frameFile, std::ios::binary);
    if (!file.is_open()) {
        Fail("read " + o.frameFile);
    }
    std::vector<std::uint8_t> frame(std::istreambuf_iterator<char>(file), {});
    if (o.stopAfter >= 0 && static_cast<std::size_t>(o.stopAfter) < frame.size()) {
        frame.resize(static_cast<std::size_t>(o.stopAfter));
    }
    const std::size_t frameLength = frame.size();
    frame.insert(frame.end(), o.extra, 0x7E);

    std::signal(SIGINT, OnStop);
    std::signal(SIGTERM, OnStop);
    std::signal(SIGPIPE, SIG_IGN);

    const bool isPty = o.device.empty();
    std::string slaveName;
    int fd = isPty ? OpenPty(o.link, slaveName) : OpenDevice(o.device);

    if (!o.trigger.empty()) {
        RunTriggered(fd, slaveName, frame, o);
    }
    bool hangupDone = o.hangupAfter < 0 || !isPty;
    for (int sent = 0; o.trigger.empty() && !stopRequested && (o.repeat == 0 || sent < o.repeat);
         ++sent) {
        if (isPty && o.waitOpen) {
            if (!WaitForReceiver(fd)) {
                break;
            }
        } else if (sent > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(o.pauseMs));
        }
        if (!hangupDone) {
            const auto cut = std::min(static_cast<std::size_t>(o.hangupAfter), frame.size());
            SendPaced(fd, {frame.begin(), frame.begin() + static_cast<long>(cut)}, o.baud);
            if (cut > 0) {
                WaitUntilRead(slaveName);
            }
            HangUp(slaveName);
            hangupDone = true;
            if (o.comeBackSeconds < 0) {
                break; // the line stays dead until the simulator is stopped
            }
            ::close(fd); // the device node goes, as an unplugged adapter's does
            if (!o.link.empty()) {
                ::unlink(o.link.c_str());
            }
            Sleep(o.comeBackSeconds);
            fd = OpenPty(o.link, slaveName);
            continue;
        }
        const bool hungUp =
            SendPaced(fd, frame, o.baud, isPty && o.waitOpen ? frameLength : SIZE_MAX);
        std::fprintf(stderr, "instrument_simulator: sent %zu bytes\n", frame.size());
        if (isPty && o.waitOpen && !hungUp) {
            WaitForHangup(fd); // the receiver lets go before the next frame is offered
        }
    }
    if (isPty) {
        // Keep the pty while the receiver may still read what is queued.
        while (!stopRequested && (o.hangupAfter >= 0 || !DrainMaster(fd, 50))) {
            if (o.hangupAfter >= 0) {
                std::this_thread::sleep_for(50ms);
            }
        }
        if (!o.link.empty()) {
            ::unlink(o.link.c_str());
        }
    }
    ::close(fd);
    return 0;
}
