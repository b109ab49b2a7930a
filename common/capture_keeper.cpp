#include "common/capture_keeper.h"

#include "common/capture_files.h"
#include "common/capture_record.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

namespace krt460 {
namespace {

namespace fs = std::filesystem;

// How a print ended, as its record says it; "cut": it ended without all its bytes, as the next
// print began.
const char* EndName(CaptureEnd end, std::size_t bytes) {
    switch (end) {
    case CaptureEnd::Stalled:
        return "stalled";
    case CaptureEnd::PortLost:
        return "port-lost";
    case CaptureEnd::Stopped:
        return "stopped";
    case CaptureEnd::Complete:
        break;
    }
    return bytes == kFrameLength ? "complete" : "cut";
}

std::string FileName(const std::string& path) {
    return fs::path(path).filename().string();
}

// A print that could not be kept where it belongs: its bytes in the temporary folder.
Kept Rescued(Kept kept, std::span<const std::uint8_t> bytes) {
    kept.as = KeptAs::NotWritten;
    std::string ignored;
    kept.rescued = KeepInTemporaryFolder(bytes, ignored);
    return kept;
}

} // namespace

std::string LocalTimeIso8601(std::time_t when) {
    const std::tm local = LocalCalendarTime(when);
    const std::tm utc = UtcCalendarTime(when);
    // The offset from the two readings of one moment; a day apart at most.
    int days = local.tm_yday - utc.tm_yday;
    if (days > 1) {
        days = -1; // local time is still in the old year
    } else if (days < -1) {
        days = 1;
    }
    const long offset =
        days * 86400L + (local.tm_hour - utc.tm_hour) * 3600L + (local.tm_min - utc.tm_min) * 60L;
    const int minutes = static_cast<int>((offset < 0 ? -offset : offset) / 60 % (24 * 60));
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string KeepInTemporaryFolder(std::span<const std::uint8_t> bytes, std::string& error) {
    std::error_code noFolder;
    const fs::path temporary = fs::temp_directory_path(noFolder);
    if (noFolder) {
        error = noFolder.message();
        return {};
    }
    const std::string base = WriteCaptureFiles(temporary.string(), "krt460-" + LocalTimeStamp(),
                                               {{".bin", bytes}}, error);
    return base.empty() ? base : base + ".bin";
}

CCaptureKeeper::CCaptureKeeper(KeeperOptions options) : options_(std::move(options)) {
    if (!options_.encodePicture) {
        options_.pictureExtension = ".bmp";
        options_.encodePicture = [](const CScreenImage& image, std::vector<std::uint8_t>& bytes,
                                    std::string&) {
            const BitmapFileBytes bitmap = image.EncodeBitmap();
            bytes.assign(bitmap.begin(), bitmap.end());
            return true;
        };
    }
}

Kept CCaptureKeeper::Keep(const Print& print) {
    Kept kept;
    kept.bytes = print.bytes.size();
    kept.end = print.end;
    kept.lineErrors = print.lineErrors;
    if (print.bytes.empty()) {
        return kept;
    }
    if (print.stray) {
        kept.as = KeptAs::Stray;
        ++counts_.strays;
        counts_.strayBytes += print.bytes.size();
        return kept;
    }
    // Named and recorded for when it came, not for when it was judged (a print cut short is
    // judged once the next has come, a stalled one after the stall).
    const std::time_t came = print.lastByteAt == std::chrono::system_clock::time_point{}
                                 ? std::time(nullptr)
                                 : std::chrono::system_clock::to_time_t(print.lastByteAt);
    const std::string stamp = options_.prefix + LocalTimeStamp(came);
    // A print of 3328 bytes is judged by its bands: a picture whenever they decode, its marker
    // noted; anything else keeps what arrived as it came.
    std::vector<std::uint8_t> picture;
    if (print.bytes.size() == kFrameLength && kept.image.Decode(print.bytes, options_.border)) {
        if (!options_.encodePicture(kept.image, picture, kept.error)) {
            kept.file = (fs::path(options_.dir) / (stamp + options_.pictureExtension)).string();
            return Rescued(std::move(kept), print.bytes);
        }
        kept.as = KeptAs::Picture;
        kept.markerMissing = !print.hasEndMarker;
    } else {
        kept.as = print.bytes.size() == kFrameLength ? KeptAs::Raw : KeptAs::Partial;
    }
    const std::string rawExtension = kept.as == KeptAs::Partial ? ".partial.bin" : ".bin";
    const bool raw = kept.as != KeptAs::Picture || options_.rawBesidePicture;

    kept.file = (fs::path(options_.dir) /
                 (stamp + (kept.as == KeptAs::Picture ? options_.pictureExtension : rawExtension)))
                    .string();
    CaptureRecord record;
    record.received = LocalTimeIso8601(came);
    record.port = options_.port;
    record.bytes = static_cast<unsigned>(print.bytes.size());
    record.end = EndName(print.end, print.bytes.size());
    record.kept = kept.as == KeptAs::Picture ? "picture"
                  : kept.as == KeptAs::Raw   ? "raw"
                                             : "partial";
    record.endMarker = print.hasEndMarker;
    record.lineErrorsKnown = print.lineErrors.known;
    record.framing = print.lineErrors.framing;
    record.parity = print.lineErrors.parity;
    record.overrun = print.lineErrors.overrun;
    record.breaks = print.lineErrors.breaks;
    // The record first: it claims the base, and names the files that follow it there.
    std::vector<CaptureFile> files{{".json", {}, [&](const std::string& base) {
                                        const std::string name = FileName(base);
                                        record.picture = kept.as == KeptAs::Picture
                                                             ? name + options_.pictureExtension
                                                             : "";
                                        record.raw = raw ? name + rawExtension : "";
                                        return RecordToJson(record);
                                    }}};
    if (kept.as == KeptAs::Picture) {
        files.push_back({options_.pictureExtension, picture});
    }
    if (raw) {
        files.push_back({rawExtension, print.bytes});
    }
    const std::string base = WriteCaptureFiles(options_.dir, stamp, files, kept.error);
    if (base.empty()) {
        return Rescued(std::move(kept), print.bytes);
    }
    kept.file = base + (kept.as == KeptAs::Picture ? options_.pictureExtension : rawExtension);
    switch (kept.as) {
    case KeptAs::Picture:
        ++counts_.pictures;
        break;
    case KeptAs::Raw:
        ++counts_.unreadable;
        break;
    default:
        ++counts_.partial;
        break;
    }
    return kept;
}

} // namespace krt460
