#include "settings/settings_file.h"

#include <cstddef>
#include <fstream>
#include <iterator>
#include <string_view>

namespace krt460 {
namespace {

// A port name is read in pieces of at most this many characters; the rest of a longer line is
// what the next read sees.
constexpr std::size_t kMaxFieldLength = 9;

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

// Reads up to a line feed (consumed), the end, or kMaxFieldLength characters; a line feed right
// after the limit is left for the next read, which then returns an empty text.
std::string ReadField(std::string_view& text) {
    std::string field;
    while (!text.empty() && field.size() < kMaxFieldLength) {
        const char c = text.front();
        text.remove_prefix(1);
        if (c == '\n') {
            break;
        }
        field.push_back(c);
    }
    return field;
}

} // namespace

Settings CSettingsFile::LoadSettings(const std::string& fileName) {
    Settings settings;
    std::ifstream file(fileName, std::ios::binary);
    if (!file) {
        return settings;
    }
    const std::string content =
        TextModeContent(std::string(std::istreambuf_iterator<char>(file), {}));
    std::string_view rest = content;
    settings.portName = ReadField(rest);
    settings.border = ReadField(rest) == "1";
    return settings;
}

bool CSettingsFile::SaveSettings(const std::string& fileName, const Settings& settings) {
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    if (!file) {
        return false;
    }
    file << settings.portName << "\r\n" << std::flush;
    file << (settings.border ? "1" : "0") << "\r\n" << std::flush;
    file.close();
    return !file.fail();
}

} // namespace krt460
