#include "web/request_target.h"

#include <optional>
#include <vector>

namespace krt460::web {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Nothing for a broken escape, or one that makes a NUL.
std::optional<std::string> Decode(std::string_view text, bool plusIsSpace) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            const bool whole = i + 2 < text.size();
            const int high = whole ? HexValue(text[i + 1]) : -1;
            const int low = whole ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0 || (high == 0 && low == 0)) {
                return std::nullopt;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (text[i] == '+' && plusIsSpace) {
            out += ' ';
        } else if (text[i] == '\0') {
            return std::nullopt;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::vector<std::string>> PathParts(std::string_view path) {
    std::vector<std::string> parts;
    if (path == "/") {
        return parts;
    }
    for (std::size_t at = 1; at <= path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        std::optional<std::string> part = Decode(path.substr(at, end - at), false);
        if (!part || part->empty() || *part == "." || *part == ".." ||
            part->find('/') != std::string::npos) {
            return std::nullopt;
        }
        parts.push_back(std::move(*part));
        at = end + 1;
    }
    return parts;
}

} // namespace

Target ReadTarget(std::string_view target) {
    Target result;
    if (target.empty() || target[0] != '/' || target.find('#') != std::string_view::npos) {
        return result;
    }
    const std::size_t question = target.find('?');
    const std::optional<std::vector<std::string>> parts = PathParts(target.substr(0, question));
    if (!parts) {
        return result;
    }
    if (question != std::string_view::npos) {
        std::string_view query = target.substr(question + 1);
        while (!query.empty()) {
            const std::string_view pair = query.substr(0, query.find('&'));
            query.remove_prefix(std::min(query.size(), pair.size() + 1));
            const std::size_t equals = pair.find('=');
            const std::optional<std::string> key = Decode(pair.substr(0, equals), true);
            const std::optional<std::string> value =
                Decode(equals == std::string_view::npos ? "" : pair.substr(equals + 1), true);
            if (!key || !value) {
                return result;
            }
            result.query.insert_or_assign(*key, *value);
        }
    }
    const std::vector<std::string>& p = *parts;
    if (p.empty()) {
        result.route = Route::Page;
    } else if (p.size() == 1 && p[0] == "gallery.js") {
        result.route = Route::Script;
    } else if (p.size() == 1 && p[0] == "gallery-worker.js") {
        result.route = Route::Worker;
    } else if (p.size() == 1 && p[0] == "gallery.css") {
        result.route = Route::Style;
    } else if (p.size() == 1 && p[0] == "captures") {
        result.route = Route::Captures;
    } else if (p.size() == 1 && p[0] == "events") {
        result.route = Route::Events;
    } else if ((p.size() == 2 || p.size() == 3) && (p[0] == "files" || p[0] == "png")) {
        result.folder = p.size() == 3 ? p[1] : "";
        result.name = p.back();
        if (p[0] == "files") {
            result.route = Route::File;
        } else if (result.name.size() > 4 && result.name.ends_with(".png")) {
            result.route = Route::Png;
            result.name.resize(result.name.size() - 4);
        }
    }
    return result;
}

std::string EncodeUrlPart(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

} // namespace krt460::web
