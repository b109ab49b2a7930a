#include "settings/settings_file.h"

#include "common/file_output.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

namespace krt460 {
namespace {

// Longer lines are cut here; the rest of such a line is skipped, never read as the next value.
constexpr std::size_t kMaxLineLength = 255;

// The text a Windows text-mode stream delivers: it ends at the first 0x1A, and a CR directly
// before an LF vanishes.
std::string TextModeContent(std::string raw) {
    if (const auto eof = raw.find('\x1A'); eof != std::string::npos) {
        raw.resize(eof);
    }
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
            continue;
        }
        text.push_back(raw[i]);
    }
    return text;
}

// Reads one whole line, its line feed consumed, so that whatever SaveSettings wrote reads back
// the same. Nothing is trimmed.
std::string ReadLine(std::string_view& text) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string line(text.substr(0, std::min(end, kMaxLineLength)));
    text.remove_prefix(std::min(end + 1, text.size()));
    return line;
}

} // namespace

Settings CSettingsFile::LoadSettings(const std::string& fileName) {
    Settings settings;
    // A file that cannot be read (missing, a folder, no permission) leaves the defaults.
    std::FILE* file = std::fopen(fileName.c_str(), "rb");
    if (file == nullptr) {
        return settings;
    }
    std::string raw;
    char chunk[512];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && raw.size() < 65536) {
        raw.append(chunk, got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return settings;
    }
    const std::string content = TextModeContent(std::move(raw));
    std::string_view rest = content;
    settings.portName = ReadLine(rest);
    settings.border = ReadLine(rest) == "1";
    settings.saveEveryPrint = ReadLine(rest) == "1";
    return settings;
}

bool CSettingsFile::SaveSettings(const std::string& fileName, const Settings& settings,
                                 std::string* reason) {
    // One CR LF line per value, in the order LoadSettings reads them; written whole or not at
    // all, so that a power cut never leaves a half-written file to start from.
    const std::string lines[] = {settings.portName, settings.border ? "1" : "0",
                                 settings.saveEveryPrint ? "1" : "0"};
    std::string content;
    for (const std::string& line : lines) {
        content += line + "\r\n";
    }
    std::string error;
    const bool written = WriteFileAtomically(
        fileName, std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()),
        error);
    if (!written && reason) {
        *reason = error;
    }
    return written;
}

} // namespace krt460
