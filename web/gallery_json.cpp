#include "web/gallery_json.h"

#include "web/request_target.h"

#include <cstdio>

namespace krt460::web {
namespace {

// The length of the UTF-8 sequence at `at`, or 0 when it is none (overlong forms, surrogates
// and code points above U+10FFFF included).
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned min = 0;
    unsigned code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, code = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(at + i) & 0x3Fu);
    }
    return code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ? 0 : length;
}

std::string Url(const char* route, const std::string& folder, const std::string& name,
                const FileFacts& facts) {
    return std::string(route) + (folder.empty() ? "" : EncodeUrlPart(folder) + "/") +
           EncodeUrlPart(name) + "?v=" + VersionOf(facts);
}

void Member(std::string& json, const char* key, const std::string& value) {
    json += json.back() == '{' ? "\"" : ",\"";
    json += key;
    json += "\":" + value;
}

std::string RecordJson(const CaptureRecord& record) {
    std::string json = "{";
    Member(json, "received", JsonString(record.received));
    Member(json, "port", JsonString(record.port));
    Member(json, "bytes", std::to_string(record.bytes));
    Member(json, "end", JsonString(record.end));
    Member(json, "kept", JsonString(record.kept));
    Member(json, "endMarker", record.endMarker ? "true" : "false");
    Member(json, "lineErrors",
           record.lineErrorsKnown ? "{\"framing\":" + std::to_string(record.framing) +
                                        ",\"parity\":" + std::to_string(record.parity) +
                                        ",\"overrun\":" + std::to_string(record.overrun) +
                                        ",\"break\":" + std::to_string(record.breaks) + "}"
                                  : "null");
    return json + "}";
}

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Picture:
        return "picture";
    case Verdict::Awaited:
        return "awaited";
    case Verdict::CutShort:
        return "cut-short";
    case Verdict::Undecodable:
        return "undecodable";
    }
    return "";
}

} // namespace

std::string VersionOf(const FileFacts& facts) {
    char version[40];
    std::snprintf(version, sizeof version, "%llx-%llx",
                  static_cast<unsigned long long>(facts.modified),
                  static_cast<unsigned long long>(facts.size));
    return version;
}

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const std::size_t length = Utf8Length(text, i);
            json += length == 0 ? "\\ufffd" : std::string(text.substr(i, length));
            i += length == 0 ? 1 : length;
            continue;
        }
        if (byte < 0x20 || byte == '<' || byte == '>' || byte == '&' || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            json += escaped;
        } else if (byte == '"' || byte == '\\') {
            json += '\\';
            json += static_cast<char>(byte);
        } else {
            json += static_cast<char>(byte);
        }
        ++i;
    }
    return json + "\"";
}

std::string CaptureJson(const Capture& capture) {
    const CaptureName& name = capture.name;
    char sequence[8];
    std::snprintf(sequence, sizeof sequence, "%04u", name.sequence);
    std::string json = "{";
    Member(json, "key", JsonString(capture.Key()));
    Member(json, "folder", JsonString(capture.folder));
    Member(json, "name", JsonString(name.Base()));
    Member(json, "stamp", JsonString(name.stamp));
    // The list's order as one string that compares as it does: newest is greatest.
    Member(json, "order",
           JsonString(name.stamp + sequence + "/" + capture.folder + "/" + name.prefix));
    Member(json, "verdict", JsonString(VerdictName(VerdictOf(capture))));
    const auto file = [&](const char* key, CaptureFileKind kind) {
        if (const auto& facts = capture.File(kind)) {
            Member(json, key,
                   JsonString(Url("/files/", capture.folder, capture.FileName(kind), *facts)));
        }
    };
    file("bmp", CaptureFileKind::Bmp);
    file("png", CaptureFileKind::Png);
    file("raw", CaptureFileKind::Raw);
    file("partial", CaptureFileKind::Partial);
    file("recordFile", CaptureFileKind::Record);
    if (const auto& bmp = capture.File(CaptureFileKind::Bmp)) {
        Member(json, "pngOfBmp",
               JsonString(Url("/png/", capture.folder, name.Base() + ".png", *bmp)));
    }
    if (capture.record) {
        Member(json, "record", RecordJson(*capture.record));
    }
    return json + "}";
}

std::string ListingJson(const Listing& listing, const std::vector<std::string>& folders,
                        const ListingPage& asked) {
    std::string json = "{\"folders\":[";
    for (const std::string& folder : folders) {
        json += (json.back() == '[' ? "" : ",") + JsonString(folder);
    }
    json += "],\"folder\":" + (asked.folder ? JsonString(*asked.folder) : "null");
    json += ",\"page\":" + std::to_string(asked.page + 1) +
            ",\"pageSize\":" + std::to_string(asked.pageSize) +
            ",\"total\":" + std::to_string(listing.total) + ",\"captures\":[";
    for (const Capture& capture : listing.captures) {
        json += (json.back() == '[' ? "" : ",") + CaptureJson(capture);
    }
    return json + "]}";
}

} // namespace krt460::web
