// Serial ports on Windows: a COM device opened through the Win32 communications API.
#include "capture/serial_port.h"
#include "common/unique_handle.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

namespace krt460 {
namespace {

// INVALID_HANDLE_VALUE is a cast, not a constant expression, so it is returned by a function.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { ::CloseHandle(handle); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

PortError SystemError(std::string operation, DWORD code) {
    char* buffer = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = length != 0 ? std::string(buffer, length) : "error " + std::to_string(code);
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return {std::move(operation), static_cast<int>(code), std::move(text)};
}

class Win32SerialPort final : public SerialPort {
public:
    Win32SerialPort(PortClaim claim, UniqueFileHandle handle)
        : claim_(std::move(claim)), handle_(std::move(handle)) {}

    ReadResult Read(std::span<std::uint8_t> buffer, std::size_t& got,
                    std::chrono::milliseconds) override {
        // The port's timeouts make this read return what is queued at once, or wait up to
        // kReadWait for the first byte when nothing is; a read that took a while has waited.
        got = 0;
        const auto start = std::chrono::steady_clock::now();
        DWORD read = 0;
        if (!::ReadFile(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                        nullptr)) {
            // A line error stops all reads of a port that aborts on errors until it is cleared.
            DWORD errors = 0;
            ::ClearCommError(handle_.get(), &errors, nullptr);
            return ReadResult::Failed;
        }
        got = read;
        if (got == 0) {
            return ReadResult::Nothing;
        }
        const bool waited =
            std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(1);
        return waited ? ReadResult::DataAfterWait : ReadResult::Data;
    }

private:
    PortClaim claim_;
    UniqueFileHandle handle_;
};

void Configure(HANDLE handle) {
    // Failures here go unnoticed: the capture proceeds with what the device accepted.
    ::SetupComm(handle, kInputQueueSize, 0);
    ::PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    DCB dcb{};
    ::GetCommState(handle, &dcb);
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
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ::SetCommState(handle, &dcb);

    // A read returns at once with a queued byte, and otherwise waits up to kReadWait for one,
    // so that a waiting worker sleeps instead of polling.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kReadWait.count());
    ::SetCommTimeouts(handle, &timeouts);
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

OpenResult OpenSerialPort(const std::string& name) {
    const std::string device = SerialDeviceName(name);
    if (device.empty()) {
        return {nullptr,
                {"open " + name, ERROR_INVALID_NAME,
                 "not a port name (use COM1, COM2, ... or \\\\.\\COMn)"}};
    }
    std::string key = device;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    PortClaim claim("win32:" + key);
    if (!claim.Held()) {
        return {nullptr, SystemError("open " + name, ERROR_ACCESS_DENIED)};
    }
    UniqueFileHandle handle(::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    if (!handle) {
        return {nullptr, SystemError("open " + name, ::GetLastError())};
    }
    if (::GetFileType(handle.get()) != FILE_TYPE_CHAR) {
        return {nullptr, {"open " + name, ERROR_BAD_DEVICE, "not a serial device"}};
    }
    Configure(handle.get());
    return {std::make_unique<Win32SerialPort>(std::move(claim), std::move(handle)), {}};
}

} // namespace krt460
