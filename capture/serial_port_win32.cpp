// Serial ports on Windows: a COM device opened through the Win32 communications API.
#include "capture/serial_port.h"
#include "common/file_output.h"
#include "common/unique_handle_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <utility>

namespace krt460 {
namespace {

PortError SystemError(std::string operation, DWORD code) {
    const bool absent = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    return {std::move(operation), static_cast<int>(code), SystemErrorText(code), absent};
}

// The errors with which a read or ClearCommError answers once an adapter is unplugged.
bool MeansDeviceGone(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY: // Wine, for a hung-up tty
    case ERROR_OPERATION_ABORTED:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
        return true;
    default:
        return false;
    }
}

class Win32SerialPort final : public SerialPort {
public:
    Win32SerialPort(PortClaim claim, UniqueFileHandle handle)
        : claim_(std::move(claim)), handle_(std::move(handle)) {}

    ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                    std::chrono::milliseconds wait) override {
        // The worker asks the driver what is queued first: a line that is gone shows as a
        // failing status query, even where a read would never say so (Wine on a hung-up tty).
        // The query also reports the line errors since the last one. With something queued the
        // read takes that and returns at once; with nothing, it asks for one byte and returns as
        // that arrives, or after `wait` (asked for more, Wine 8 waits for more than arrived).
        got = 0;
        DWORD queued = 0;
        if (const ReadResult status = QueuedBytes(queued); status != ReadResult::Data) {
            return status;
        }
        const auto waitMs = static_cast<DWORD>(std::max<long long>(wait.count(), 1));
        if (waitMs != readWait_) { // a constant of 0 would return at once
            COMMTIMEOUTS timeouts{};
            timeouts.ReadIntervalTimeout = MAXDWORD;
            timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
            timeouts.ReadTotalTimeoutConstant = waitMs;
            if (!::SetCommTimeouts(handle_.get(), &timeouts)) {
                const DWORD error = ::GetLastError();
                return MeansDeviceGone(error) ? ReadResult::Lost : ReadResult::Failed;
            }
            readWait_ = waitMs;
        }
        DWORD read = 0;
        readerThread_.store(::GetCurrentThreadId());
        const BOOL ok = ::ReadFile(handle_.get(), buffer.data(),
                                   std::clamp<DWORD>(queued, 1, static_cast<DWORD>(buffer.size())),
                                   &read, nullptr);
        const DWORD readError = ok ? ERROR_SUCCESS : ::GetLastError();
        readerThread_.store(0);
        if (!ok) {
            if (cancelled_.exchange(false) && readError == ERROR_OPERATION_ABORTED) {
                return ReadResult::Nothing; // our own CancelRead, not a lost device
            }
            return MeansDeviceGone(readError) ? ReadResult::Lost : ReadResult::Failed;
        }
        got = read;
        if (got == 0) {
            // Queued, yet nothing came: the caller waits before asking again.
            return queued > 0 ? ReadResult::Failed : ReadResult::Nothing;
        }
        return ReadResult::Data;
    }

    LineErrors TakeLineErrors() override { return std::exchange(errors_, LineErrors{true}); }

    void CancelRead() override {
        const DWORD threadId = readerThread_.load();
        if (threadId == 0) {
            return;
        }
        const UniqueKernelHandle thread(::OpenThread(THREAD_TERMINATE, FALSE, threadId));
        if (thread) {
            cancelled_.store(true);
            ::CancelSynchronousIo(thread.get());
        }
    }

private:
    // Data with the count of queued bytes, or why the status cannot be read. Clearing the
    // status also lets a port that aborts on line errors read again.
    ReadResult QueuedBytes(DWORD& queued) {
        DWORD flags = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_.get(), &flags, &status)) {
            const DWORD error = ::GetLastError();
            return MeansDeviceGone(error) ? ReadResult::Lost : ReadResult::Failed;
        }
        // The driver reports which errors happened since the last query, not how often.
        errors_.framing += (flags & CE_FRAME) != 0 ? 1 : 0;
        errors_.parity += (flags & CE_RXPARITY) != 0 ? 1 : 0;
        errors_.overrun += (flags & (CE_OVERRUN | CE_RXOVER)) != 0 ? 1 : 0;
        errors_.breaks += (flags & CE_BREAK) != 0 ? 1 : 0;
        queued = status.cbInQue;
        return ReadResult::Data;
    }

    PortClaim claim_;
    UniqueFileHandle handle_;
    LineErrors errors_{true};
    DWORD readWait_ = static_cast<DWORD>(kReadWait.count()); // ReadTotalTimeoutConstant, in ms
    std::atomic<DWORD> readerThread_{0};
    std::atomic<bool> cancelled_{false};
};

// Sets every field that changes the bytes received, whatever another program left on the port:
// a port left with fNull, fDsrSensitivity or XON/XOFF set would drop or hold back bytes.
PortError Configure(HANDLE handle, const std::string& name) {
    // The queue size is advice to the driver; the capture works without it.
    ::SetupComm(handle, kInputQueueSize, 0);

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!::GetCommState(handle, &dcb)) {
        return SystemError("read the settings of " + name, ::GetLastError());
    }
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = kBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(handle, &dcb)) {
        return SystemError("set 9600 8N1 on " + name, ::GetLastError());
    }

    // A read returns at once with whatever the input queue holds; with nothing queued, with the
    // first byte that arrives, or after the constant (Read sets the wait it is given).
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kReadWait.count());
    if (!::SetCommTimeouts(handle, &timeouts)) {
        return SystemError("set the read timeouts of " + name, ::GetLastError());
    }
    // Bytes that arrived before this capture belong to no hardcopy of it. The purge comes after
    // the settings, so that no byte of the new hardcopy meets the old ones (a port left with
    // XON/XOFF or null stripping would swallow it).
    ::PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    return {};
}

} // namespace

std::string SerialDeviceName(const std::string& name) {
    // Only serial devices: a settings file must never make the program open a network path or
    // an ordinary file.
    if (name.rfind("\\\\.\\", 0) == 0 && name.size() > 4 &&
        name.find_first_of("\\/:", 4) == std::string::npos) {
        return name;
    }
    if (ComPortNumber(name)) {
        return "\\\\.\\" + name; // the device form, which COM10 and above need
    }
    return {};
}

namespace {

std::string UpperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

} // namespace

bool SamePort(const std::string& a, const std::string& b) {
    const std::string deviceA = SerialDeviceName(a);
    return !deviceA.empty() && UpperCase(deviceA) == UpperCase(SerialDeviceName(b));
}

OpenResult OpenSerialPort(const std::string& name, std::stop_token stop) {
    const std::string device = SerialDeviceName(name);
    if (device.empty()) {
        return {nullptr,
                {"open " + name, ERROR_INVALID_NAME,
                 "not a port name (use COM1, COM2, ... or \\\\.\\COMn)"}};
    }
    PortClaim claim("win32:" + UpperCase(device));
    if (!claim.Held()) {
        return {nullptr, SystemError("open " + name, ERROR_ACCESS_DENIED)};
    }
    // A Bluetooth port can take seconds to open: a stop cancels the open in progress.
    const UniqueKernelHandle self(::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId()));
    UniqueFileHandle handle;
    DWORD openError = ERROR_SUCCESS; // taken at once: ending the cancels may overwrite it
    {
        const CancelOnStop cancel(stop, [&self] {
            if (self) {
                ::CancelSynchronousIo(self.get());
            }
        });
        if (cancel.Stopped()) {
            return {nullptr, SystemError("open " + name, ERROR_OPERATION_ABORTED)};
        }
        handle = UniqueFileHandle(::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        openError = ::GetLastError();
    }
    if (!handle) {
        return {nullptr, SystemError("open " + name, openError)};
    }
    if (::GetFileType(handle.get()) != FILE_TYPE_CHAR) {
        return {nullptr, {"open " + name, ERROR_BAD_DEVICE, "not a serial device"}};
    }
    if (PortError error = Configure(handle.get(), name); !error.operation.empty()) {
        return {nullptr, std::move(error)};
    }
    return {std::make_unique<Win32SerialPort>(std::move(claim), std::move(handle)), {}};
}

} // namespace krt460
