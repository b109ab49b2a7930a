#include "keep/capture_record.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace krt460 {
namespace {

constexpr struct {
    CaptureFileKind kind;
    const char* extension;
} kExtensions[] = {
    {CaptureFileKind::Partial, ".partial.bin"},
    {CaptureFileKind::Raw, ".bin"},
    {CaptureFileKind::Bmp, ".bmp"},
    {CaptureFileKind::Png, ".png"},
    {CaptureFileKind::Record, ".json"},
};

constexpr std::string_view kSeriesPrefix = "Scp_";

bool AllDigits(std::string_view text) {
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return !text.empty();
}

void AppendString(std::string& json, std::string_view text) {
    json += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            json += escaped;
        } else {
            json += c;
        }
    }
    json += '"';
}

// Just enough JSON for a record: an object of strings, whole numbers, booleans, null and one
// nested object. Strings are taken as UTF-8; \u escapes below 0x80 only, as the writer makes.
class RecordReader {
public:
    explicit RecordReader(std::string_view text) : text_(text) {}

    std::optional<CaptureRecord> Read() {
        CaptureRecord record;
        if (!Object([&](std::string_view key) { return Member(key, record); })) {
            return std::nullopt;
        }
        Skip();
        return pos_ == text_.size() ? std::optional(record) : std::nullopt;
    }

private:
    void Skip() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
            ++pos_;
        }
    }
    bool Take(char c) {
        Skip();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        Skip();
        if (text_.substr(pos_, word.size()) == word) {
            pos_ += word.size();
            return true;
        }
        return false;
    }

    template <typename OnMember> bool Object(OnMember onMember) {
        if (!Take('{')) {
            return false;
        }
        if (Take('}')) {
            return true;
        }
        do {
            std::string key;
            if (!String(key) || !Take(':') || !onMember(key)) {
                return false;
            }
        } while (Take(','));
        return Take('}');
    }

    bool String(std::string& out) {
        if (!Take('"')) {
            return false;
        }
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) {
                return false;
            }
            const char e = text_[pos_++];
            if (e == 'u') {
                unsigned code = 0;
                const char* begin = text_.data() + pos_;
                if (pos_ + 4 > text_.size() ||
                    std::from_chars(begin, begin + 4, code, 16).ptr != begin + 4 || code >= 0x80) {
                    return false;
                }
                out += static_cast<char>(code);
                pos_ += 4;
            } else if (e == 'n') {
                out += '\n';
            } else if (e == 't') {
                out += '\t';
            } else if (e == '"' || e == '\\' || e == '/') {
                out += e;
            } else {
                return false;
            }
        }
        return false;
    }

    bool Number(unsigned& out) {
        Skip();
        const char* begin = text_.data() + pos_;
        const auto [end, error] = std::from_chars(begin, text_.data() + text_.size(), out);
        if (error != std::errc() || end == begin) {
            return false;
        }
        pos_ += static_cast<std::size_t>(end - begin);
        return true;
    }

    bool Bool(bool& out) {
        if (Word("true")) {
            out = true;
        } else if (Word("false")) {
            out = false;
        } else {
            return false;
        }
        return true;
    }

    // A member this reader does not know: any value but an array.
    bool Ignored() {
        std::string text;
        unsigned number = 0;
        bool flag = false;
        Skip();
        if (pos_ < text_.size() && text_[pos_] == '{') {
            return Object([&](std::string_view) { return Ignored(); });
        }
        return String(text) || Bool(flag) || Word("null") || Number(number);
    }

    bool LineErrors(CaptureRecord& record) {
        if (Word("null")) {
            record.lineErrorsKnown = false;
            return true;
        }
        record.lineErrorsKnown = true;
        return Object([&](std::string_view key) {
            if (key == "framing") {
                return Number(record.framing);
            }
            if (key == "parity") {
                return Number(record.parity);
            }
            if (key == "overrun") {
                return Number(record.overrun);
            }
            if (key == "break") {
                return Number(record.breaks);
            }
            return Ignored();
        });
    }

    bool Member(std::string_view key, CaptureRecord& record) {
        if (key == "received") {
            return String(record.received);
        }
        if (key == "port") {
            return String(record.port);
        }
        if (key == "bytes") {
            return Number(record.bytes);
        }
        if (key == "end") {
            return String(record.end);
        }
        if (key == "kept") {
            return String(record.kept);
        }
        if (key == "endMarker") {
            return Bool(record.endMarker);
        }
        if (key == "picture") {
            return String(record.picture);
        }
        if (key == "raw") {
            return String(record.raw);
        }
        if (key == "lineErrors") {
            return LineErrors(record);
        }
        return Ignored();
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace

std::string CaptureName::Base() const {
    return prefix + stamp + (sequence > 1 ? "-" + std::to_string(sequence) : "");
}

const char* ExtensionOf(CaptureFileKind kind) {
    for (const auto& known : kExtensions) {
        if (known.kind == kind) {
            return known.extension;
        }
    }
    return "";
}

std::optional<CaptureName> ParseCaptureName(std::string_view name) {
    CaptureName parts;
    if (name.starts_with(kSeriesPrefix)) {
        parts.prefix = kSeriesPrefix;
        name.remove_prefix(kSeriesPrefix.size());
    }
    const auto extension = [&]() -> const char* {
        for (const auto& known : kExtensions) {
            if (name.ends_with(known.extension)) {
                parts.kind = known.kind;
                return known.extension;
            }
        }
        return nullptr;
    }();
    if (extension == nullptr) {
        return std::nullopt;
    }
    name.remove_suffix(std::string_view(extension).size());
    // YYYYMMDD-HHMMSS, then perhaps -N with N from 2 to 9999 and no leading zero.
    if (name.size() < 15 || !AllDigits(name.substr(0, 8)) || name[8] != '-' ||
        !AllDigits(name.substr(9, 6))) {
        return std::nullopt;
    }
    parts.stamp = name.substr(0, 15);
    name.remove_prefix(15);
    if (!name.empty()) {
        const std::string_view number = name.substr(1);
        if (name[0] != '-' || number.size() > 4 || !AllDigits(number) || number[0] == '0' ||
            number == "1") {
            return std::nullopt;
        }
        std::from_chars(number.data(), number.data() + number.size(), parts.sequence);
    }
    return parts;
}

std::string RecordToJson(const CaptureRecord& record) {
    std::string json = "{\"received\":";
    AppendString(json, record.received);
    json += ",\"port\":";
    AppendString(json, record.port);
    json += ",\"bytes\":" + std::to_string(record.bytes) + ",\"end\":";
    AppendString(json, record.end);
    json += ",\"kept\":";
    AppendString(json, record.kept);
    json += std::string(",\"endMarker\":") + (record.endMarker ? "true" : "false");
    if (!record.picture.empty()) {
        json += ",\"picture\":";
        AppendString(json, record.picture);
    }
    if (!record.raw.empty()) {
        json += ",\"raw\":";
        AppendString(json, record.raw);
    }
    json += ",\"lineErrors\":";
    if (record.lineErrorsKnown) {
        json += "{\"framing\":" + std::to_string(record.framing) +
                ",\"parity\":" + std::to_string(record.parity) +
                ",\"overrun\":" + std::to_string(record.overrun) +
                ",\"break\":" + std::to_string(record.breaks) + "}";
    } else {
        json += "null";
    }
    json += "}\n";
    return json;
}

std::optional<CaptureRecord> RecordFromJson(std::string_view json) {
    return RecordReader(json).Read();
}

} // namespace krt460
