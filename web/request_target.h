#pragma once

#include <map>
#include <string>
#include <string_view>

namespace krt460::web {

// What the gallery serves.
enum class Route { None, Page, Script, Worker, Style, Captures, Events, File, Png };

struct Target {
    Route route = Route::None;
    std::string folder; // File and Png: "" for DIR itself
    std::string name;   // File: the file's name; Png: the capture's base name
    std::map<std::string, std::string> query;
};

// Reads a request target as it came on the request line (still percent-encoded): each part of
// the path is decoded on its own, and one that holds a "/" or NUL, is "." or "..", or is empty
// makes the target nothing the gallery serves. Only the page, its scripts and style, the list,
// the event stream, /files/[FOLDER/]NAME and /png/[FOLDER/]BASE.png are something.
Target ReadTarget(std::string_view target);

// Percent-encodes all but letters, digits and "-._~", for a part of a URL the gallery makes.
std::string EncodeUrlPart(std::string_view text);

} // namespace krt460::web
