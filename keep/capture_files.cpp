#include "keep/capture_files.h"

#include "common/file_output.h"
#include "keep/capture_record.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace krt460 {
namespace {

namespace fs = std::filesystem;

// The files a print may leave under one base name.
constexpr CaptureFileKind kCaptureKinds[] = {CaptureFileKind::Bmp, CaptureFileKind::Png,
                                             CaptureFileKind::Raw, CaptureFileKind::Partial,
                                             CaptureFileKind::Record};

std::mutex calendarMutex;

} // namespace

std::tm LocalCalendarTime(std::time_t when) {
    const std::lock_guard lock(calendarMutex);
    return *std::localtime(&when);
}

std::tm UtcCalendarTime(std::time_t when) {
    const std::lock_guard lock(calendarMutex);
    return *std::gmtime(&when);
}

std::string LocalTimeStamp(std::time_t when) {
    const std::tm local = LocalCalendarTime(when);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

std::string WriteCaptureFiles(const std::string& dir, const std::string& stamp,
                              const std::vector<CaptureFile>& files, std::string& error,
                              const NewFileWriter& write) {
    for (int n = 1; n < 10000; ++n) {
        const std::string base =
            (fs::path(dir) / (n == 1 ? stamp : stamp + "-" + std::to_string(n))).string();
        // The files of one base belong to one print: a base with any file of a print is taken.
        std::error_code ignored;
        if (std::any_of(std::begin(kCaptureKinds), std::end(kCaptureKinds),
                        [&](CaptureFileKind kind) {
                            return fs::exists(base + ExtensionOf(kind), ignored);
                        })) {
            continue;
        }
        std::vector<std::string> written;
        NewFileResult result = NewFileResult::Written;
        for (const CaptureFile& file : files) {
            const std::string text = file.text ? file.text(base) : std::string();
            const auto bytes =
                file.text
                    ? std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())
                    : file.bytes;
            result = write(base + file.extension, bytes, error);
            if (result != NewFileResult::Written) {
                break;
            }
            written.push_back(base + file.extension);
        }
        if (result == NewFileResult::Written) {
            return base;
        }
        for (const std::string& mine : written) {
            RemoveFileDurably(mine); // another writer took a name of this base: try the next
        }
        if (result == NewFileResult::Failed) {
            return {};
        }
    }
    error = "no free name";
    return {};
}

} // namespace krt460
