#include "keep/capture_keeper.h"

#include "keep/capture_files.h"
#include "keep/capture_record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

namespace krt460 {
namespace {

namespace fs = std::filesystem;

std::string FileName(const std::string& path) {
    return fs::path(path).filename().string();
}

// Named and recorded for when it came, not for when it was judged (a print cut short is judged
// once the next has come, a stalled one after the stall; a held one when the folder is back).
std::time_t CameAt(const Print& print) {
    return print.lastByteAt == std::chrono::system_clock::time_point{}
               ? std::time(nullptr)
               : std::chrono::system_clock::to_time_t(print.lastByteAt);
}

// Before a rescued copy's name, so that it is never taken for a capture.
const std::string kRescueMark = "krt460-";

// The moment a print's local time stamp YYYYMMDD-HHMMSS names.
std::time_t StampTime(const std::string& stamp) {
    std::tm local{};
    std::sscanf(stamp.c_str(), "%4d%2d%2d-%2d%2d%2d", &local.tm_year, &local.tm_mon, &local.tm_mday,
                &local.tm_hour, &local.tm_min, &local.tm_sec);
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

const char* RawExtension(KeptAs as) {
    return as == KeptAs::Partial ? ".partial.bin" : ".bin";
}

} // namespace

const char* KeptAsName(KeptAs as) {
    switch (as) {
    case KeptAs::Picture:
        return "picture";
    case KeptAs::Raw:
        return "raw";
    case KeptAs::Partial:
        return "partial";
    case KeptAs::Stray:
        return "stray";
    default:
        return nullptr;
    }
}

const char* CaptureEndName(CaptureEnd end, std::size_t bytes) {
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

std::string RescueFolder() {
    // A service's private /tmp goes when it stops; its runtime directory stays
    // (RuntimeDirectoryPreserve=yes). systemd lists several separated by colons.
    if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime && *runtime != '\0') {
        const std::string folders = runtime;
        return folders.substr(0, folders.find(':'));
    }
    std::error_code noFolder;
    const fs::path temporary = fs::temp_directory_path(noFolder);
    return noFolder ? std::string() : temporary.string();
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
    if (options_.rescueDir.empty()) {
        options_.rescueDir = RescueFolder();
    }
}

std::size_t CCaptureKeeper::HeldWithoutCopy() const {
    return static_cast<std::size_t>(std::count_if(
        held_.begin(), held_.end(), [](const HeldPrint& held) { return held.rescued.empty(); }));
}

std::size_t CCaptureKeeper::TakeUp() {
    std::vector<std::pair<CaptureName, fs::path>> copies;
    std::error_code error;
    for (fs::directory_iterator it(options_.rescueDir, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        const auto parsed = name.starts_with(kRescueMark)
                                ? ParseCaptureName(name.substr(kRescueMark.size()))
                                : std::nullopt;
        if (parsed && parsed->prefix == options_.prefix &&
            (parsed->kind == CaptureFileKind::Raw || parsed->kind == CaptureFileKind::Partial)) {
            copies.emplace_back(*parsed, it->path());
        }
    }
    std::sort(copies.begin(), copies.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first.stamp, a.first.sequence) <
               std::tie(b.first.stamp, b.first.sequence);
    });
    std::size_t taken = 0;
    bool full = false; // once one does not fit, none after it is taken, to keep the order
    for (const auto& [name, path] : copies) {
        std::ifstream file(path, std::ios::binary);
        Print print;
        print.bytes.assign(std::istreambuf_iterator<char>(file), {});
        print.hasEndMarker = print.bytes.size() == kFrameLength && HasEndMarker(print.bytes.data());
        print.lastByteAt = std::chrono::system_clock::from_time_t(StampTime(name.stamp));
        // All of them count against the rescue folder's bound; those beyond memory stay there.
        rescuedBytes_ += print.bytes.size();
        full = full || heldBytes_ + print.bytes.size() > options_.holdAtMost;
        if (!file || print.bytes.empty() || full) {
            continue;
        }
        heldBytes_ += print.bytes.size();
        held_.push_back({std::move(print), path.string()});
        ++taken;
    }
    return taken;
}

Kept CCaptureKeeper::Judge(const Print& print) const {
    Kept kept;
    kept.bytes = print.bytes.size();
    kept.end = print.end;
    kept.lineErrors = print.lineErrors;
    if (print.bytes.empty()) {
        return kept;
    }
    if (print.stray) {
        kept.as = KeptAs::Stray;
        return kept;
    }
    // A print of 3328 bytes is judged by its bands: a picture whenever they decode, its marker
    // noted; anything else keeps what arrived as it came.
    if (print.bytes.size() == kFrameLength && kept.image.Decode(print.bytes, options_.border)) {
        kept.as = KeptAs::Picture;
        kept.markerMissing = !print.hasEndMarker;
    } else {
        kept.as = print.bytes.size() == kFrameLength ? KeptAs::Raw : KeptAs::Partial;
    }
    return kept;
}

Kept CCaptureKeeper::Keep(const Print& print) {
    Kept kept = Judge(print);
    if (kept.as == KeptAs::Stray) {
        ++counts_.strays;
        counts_.strayBytes += print.bytes.size();
    }
    if (kept.as == KeptAs::Nothing || kept.as == KeptAs::Stray) {
        return kept;
    }
    if (options_.dir.empty()) {
        Count(kept.as);
        return kept;
    }
    // Held prints are written first, in the order they came.
    if (held_.empty() && Write(print, kept)) {
        return kept;
    }
    return NotWrittenHere(std::move(kept), print);
}

std::vector<Kept> CCaptureKeeper::Retry() {
    std::vector<Kept> written;
    while (!held_.empty()) {
        const HeldPrint& next = held_.front();
        Kept kept = Judge(next.print);
        if (!Write(next.print, kept)) {
            break;
        }
        // Under a service the copy lies in a small RAM disk; once the print is safely in its
        // folder, a copy left there would only look like one still missing.
        if (!next.rescued.empty()) {
            RemoveFileDurably(next.rescued);
            rescuedBytes_ -= next.print.bytes.size();
        }
        heldBytes_ -= next.print.bytes.size();
        held_.pop_front();
        written.push_back(std::move(kept));
    }
    return written;
}

Kept CCaptureKeeper::NotWrittenHere(Kept kept, const Print& print) {
    const char* extension = RawExtension(kept.as);
    // Named so that it is never taken for a capture, should it lie in a folder of captures.
    kept.rescueFull = rescuedBytes_ + print.bytes.size() > options_.rescueAtMost;
    if (!options_.rescueDir.empty() && !kept.rescueFull) {
        std::string ignored;
        const std::string base = WriteCaptureFiles(
            options_.rescueDir, kRescueMark + options_.prefix + LocalTimeStamp(CameAt(print)),
            {{extension, print.bytes}}, ignored);
        kept.rescued = base.empty() ? base : base + extension;
        rescuedBytes_ += base.empty() ? 0 : print.bytes.size();
    }
    if (options_.hold && heldBytes_ + print.bytes.size() <= options_.holdAtMost) {
        held_.push_back({print, kept.rescued});
        heldBytes_ += print.bytes.size();
        kept.as = KeptAs::Held;
    } else {
        kept.as = KeptAs::NotWritten;
        counts_.lost += kept.rescued.empty() ? 1u : 0u;
    }
    return kept;
}

bool CCaptureKeeper::Write(const Print& print, Kept& kept) {
    const std::time_t came = CameAt(print);
    const std::string stamp = options_.prefix + LocalTimeStamp(came);
    const bool picture = kept.as == KeptAs::Picture;
    const std::string rawExtension = RawExtension(kept.as);
    const bool raw = !picture || options_.rawBesidePicture;
    const std::string extension = picture ? options_.pictureExtension : rawExtension;
    kept.file = (fs::path(options_.dir) / (stamp + extension)).string();
    std::vector<std::uint8_t> pictureBytes;
    if (picture && !options_.encodePicture(kept.image, pictureBytes, kept.error)) {
        return false;
    }
    CaptureRecord record;
    record.received = LocalTimeIso8601(came);
    record.port = options_.port;
    record.bytes = static_cast<unsigned>(print.bytes.size());
    record.end = CaptureEndName(print.end, print.bytes.size());
    record.kept = KeptAsName(kept.as);
    record.endMarker = print.hasEndMarker;
    record.lineErrorsKnown = print.lineErrors.known;
    record.framing = print.lineErrors.framing;
    record.parity = print.lineErrors.parity;
    record.overrun = print.lineErrors.overrun;
    record.breaks = print.lineErrors.breaks;
    std::vector<CaptureFile> files;
    if (picture) {
        files.push_back({options_.pictureExtension, pictureBytes});
    }
    if (raw) {
        files.push_back({rawExtension, print.bytes});
    }
    // The record last, once the files it names are there: a kill or a power cut before it
    // leaves files without a record (judged by themselves), never a record without its files.
    files.push_back({".json", {}, [&](const std::string& base) {
                         const std::string name = FileName(base);
                         record.picture = picture ? name + options_.pictureExtension : "";
                         record.raw = raw ? name + rawExtension : "";
                         return RecordToJson(record);
                     }});
    const std::string base =
        WriteCaptureFiles(options_.dir, stamp, files, kept.error, options_.writeFile);
    if (base.empty()) {
        return false;
    }
    kept.file = base + extension;
    Count(kept.as);
    return true;
}

void CCaptureKeeper::Count(KeptAs as) {
    switch (as) {
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
}

} // namespace krt460
