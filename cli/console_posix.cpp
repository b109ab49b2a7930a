#include "cli/console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krt460::cli {
namespace {

std::atomic<int> receivedSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[std::size(kHandledSignals)];

extern "C" void OnSignal(int signal) {
    receivedSignal.store(signal);
}

} // namespace

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

void MakeStdioBinary() {} // POSIX streams never translate

void TreatFileSizeLimitAsWriteError() {
    std::signal(SIGXFSZ, SIG_IGN); // the write then fails with EFBIG
}

bool MoreInputThere(std::FILE* stream) {
    struct stat input {};
    if (::fstat(::fileno(stream), &input) == 0 && S_ISREG(input.st_mode)) {
        return std::fgetc(stream) != EOF;
    }
    pollfd look{::fileno(stream), POLLIN, 0};
    return ::poll(&look, 1, 0) == 1 && (look.revents & POLLIN) != 0;
}

bool IsStandardInput(const std::string& path) {
    struct stat input {};
    struct stat file {};
    return ::fstat(STDIN_FILENO, &input) == 0 && ::stat(path.c_str(), &file) == 0 &&
           input.st_dev == file.st_dev && input.st_ino == file.st_ino;
}

std::string NotWritable(const std::string& path) {
    if (::access(path.c_str(), W_OK) == 0) {
        return {};
    }
    return std::strerror(errno);
}

SignalGuard::SignalGuard() {
    receivedSignal.store(0);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
        ::sigaction(kHandledSignals[i], &action, &previousActions[i]);
    }
}

SignalGuard::~SignalGuard() {
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
        ::sigaction(kHandledSignals[i], &previousActions[i], nullptr);
    }
}

int SignalGuard::Received() {
    return receivedSignal.load();
}

} // namespace krt460::cli
