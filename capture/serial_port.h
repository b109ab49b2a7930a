#pragma once

#include "capture/print.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace krt460 {

// Why a port could not be used: the operation, the system's error number and its own words.
struct PortError {
    std::string operation;
    int code = 0;
    std::string text;
    bool absent = false; // no such device: not plugged in (yet), or a mistyped name

    std::string Describe() const { return operation + ": " + text; }
};

enum class ReadResult {
    Data,
    Nothing,
    Failed, // a passing error; the caller waits a moment and reads again
    Lost,   // the device is gone (adapter unplugged, line hung up): no read will bring more
};

// An open serial device set to 9600 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS on,
// no flow control, every byte passed unchanged. Closed when the object goes.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Reads what is queued, at most buffer.size() bytes and never more, so that a caller can
    // stop exactly at a byte count. When nothing is queued, waits at most `wait` for data.
    virtual ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                            std::chrono::milliseconds wait) = 0;

    // From another thread: makes a Read that a driver keeps blocked past its timeouts return.
    virtual void CancelRead() {}

    // The line errors counted since the last call (since the open, the first time).
    virtual LineErrors TakeLineErrors() { return {}; }
};

struct OpenResult {
    std::unique_ptr<SerialPort> port;
    PortError error;
};

// Opens a port by the name a user gives ("COM1", or a platform device name). Refuses names that
// are not serial ports, and a port this process already holds. An open that waits for a device
// (a Bluetooth link) ends when `stop` is requested.
OpenResult OpenSerialPort(const std::string& name, std::stop_token stop = {});

// Cancels an open in progress when `stop` is requested, from the thread that requests it: again
// every 50 ms until the open has returned (this object goes), since a driver that has not begun
// the open when a cancel comes ignores it.
class CancelOnStop {
public:
    CancelOnStop(std::stop_token stop, std::function<void()> cancel);
    ~CancelOnStop();
    CancelOnStop(const CancelOnStop&) = delete;
    CancelOnStop& operator=(const CancelOnStop&) = delete;

    // Whether the stop came before the open began: it must not begin then.
    bool Stopped() const;

private:
    void Cancel();

    std::function<void()> cancel_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    bool stopped_ = false;
    bool opening_ = false;
    std::stop_callback<std::function<void()>> callback_; // last: goes first
};

// The platform's device name for a port name, or empty when the name is refused.
std::string SerialDeviceName(const std::string& name);

// Whether two port names name the same device (COM1 and \\.\com1; a path and a link to it).
bool SamePort(const std::string& a, const std::string& b);

struct PortInfo {
    std::string name;        // what to pass as a port name
    std::string description; // what the system knows of it (driver, link target)
    bool accessible = true;  // whether this user may open it
};

// The serial ports present, found without opening any: on Linux every tty with a device and a
// bound driver (a /dev/ttyS* only with a UART behind it), the Bluetooth /dev/rfcomm*, then the
// links /dev/serial0, /dev/serial1, /dev/serial/by-id/* and /dev/serial/by-path/* with their
// targets; on Windows the COM ports of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. Sorted naturally
// (COM3 before COM10).
std::vector<PortInfo> ListSerialPorts();

// "COM3" < "COM10": letters compare as text, runs of digits as numbers.
bool NaturalLess(const std::string& a, const std::string& b);

// n for a name "COMn" (any case, n from 1), otherwise nothing.
std::optional<unsigned> ComPortNumber(const std::string& name);

// A process-wide claim on a device, held for as long as the port is open. The platforms do not
// all refuse a second open of a device in use by the same process (Wine, Linux pseudo-terminals
// opened by root), so the claim makes sure they do.
class PortClaim {
public:
    PortClaim() = default;
    explicit PortClaim(std::string key);
    PortClaim(PortClaim&& other) noexcept;
    PortClaim& operator=(PortClaim&& other) noexcept;
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;
    ~PortClaim();

    // False when another open port of this process holds the key.
    bool Held() const { return !key_.empty(); }

private:
    std::string key_;
};

// What a user who may not open a port does about it, on Linux.
inline constexpr const char* kPortGroupHint = "usually dialout: sudo usermod -aG dialout $USER";

// The ports' parameters, shared by both platforms.
inline constexpr unsigned kBaudRate = 9600;
inline constexpr unsigned kInputQueueSize = 4096;
// How long a read waits when nothing is queued, and how long the receiver lets bytes gather
// after a read that brought some: a print then costs about fifty reads a second rather than one
// per byte (about twenty bytes arrive in 20 ms at 9600 baud).
inline constexpr std::chrono::milliseconds kReadWait{20};

} // namespace krt460
