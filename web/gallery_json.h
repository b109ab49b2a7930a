#pragma once

#include "web/capture_index.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace krt460::web {

// A JSON string of any bytes: what is not UTF-8 becomes U+FFFD, and <, > and & are escaped too,
// so that no text from a file name can end anything it is put in.
std::string JsonString(std::string_view text);

// The version of a file in the URLs made for it: "?v=VERSION".
std::string VersionOf(const FileFacts& facts);

// A capture as the page reads it: its folder, name and time, the verdict, the URLs of its files
// (each with its version, so that a picture rewritten in place gets a new URL) and its record.
std::string CaptureJson(const Capture& capture);

struct ListingPage {
    std::size_t page = 0; // from 0
    std::size_t pageSize = 60;
    std::optional<std::string> folder;
};

// One page of the list, with the folders there are.
std::string ListingJson(const Listing& listing, const std::vector<std::string>& folders,
                        const ListingPage& asked);

} // namespace krt460::web
