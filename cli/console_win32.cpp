#include "cli/console.h"
#include "common/unique_handle_win32.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace krt460::cli {
namespace {

std::atomic<int> receivedSignal{0};
void (*previousHandler)(int) = nullptr;

extern "C" void OnSignal(int signal) {
    receivedSignal.store(signal);
}

} // namespace

bool IsTerminal(std::FILE* stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

void TreatFileSizeLimitAsWriteError() {} // Windows has no such signal

void MakeStdioBinary() {
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

bool MoreInputThere(std::FILE* stream) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    switch (::GetFileType(handle)) {
    case FILE_TYPE_DISK:
        return std::fgetc(stream) != EOF;
    case FILE_TYPE_PIPE: {
        DWORD queued = 0;
        return ::PeekNamedPipe(handle, nullptr, 0, nullptr, &queued, nullptr) && queued > 0;
    }
    default: // a console or device: nothing to look at without waiting
        return false;
    }
}

bool IsStandardInput(const std::string& path) {
    const UniqueFileHandle file(
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION input{};
    BY_HANDLE_FILE_INFORMATION named{};
    return file && ::GetFileInformationByHandle(::GetStdHandle(STD_INPUT_HANDLE), &input) &&
           ::GetFileInformationByHandle(file.get(), &named) &&
           input.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
           input.nFileIndexHigh == named.nFileIndexHigh &&
           input.nFileIndexLow == named.nFileIndexLow;
}

std::string NotWritable(const std::string& path) {
    if (::_access(path.c_str(), 2) == 0) {
        return {};
    }
    return std::strerror(errno);
}

SignalGuard::SignalGuard() {
    receivedSignal.store(0);
    previousHandler = std::signal(SIGINT, OnSignal);
}

SignalGuard::~SignalGuard() {
    std::signal(SIGINT, previousHandler);
}

int SignalGuard::Received() {
    return receivedSignal.load();
}

} // namespace krt460::cli
