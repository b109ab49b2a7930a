#pragma once

#include <string_view>

namespace krt460::web {

// The page and what it loads, built into the program from web/page/ (nothing is fetched from
// elsewhere: the Pi may have no internet).
extern const std::string_view kGalleryHtml;
extern const std::string_view kGalleryScript;
extern const std::string_view kGalleryStyle;
extern const std::string_view kGalleryWorker;

} // namespace krt460::web
