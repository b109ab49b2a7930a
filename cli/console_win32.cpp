#include "cli/console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <io.h>

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

void MakeStdioBinary() {
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

std::string FolderNotWritable(const std::string& folder) {
    if (::_access(folder.c_str(), 2) == 0) {
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
