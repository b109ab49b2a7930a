#pragma once

#include "image/screen_image.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace krt460::ui {

// Whether the name ends in `extension` (".png"), in any case.
bool HasExtension(const std::string& fileName, std::string_view extension);

// Writes the picture as PNG when the name ends in .png (any case), else as BMP; complete or not
// at all. False with the system's reason in `error`.
bool SavePicture(const CScreenImage& image, const std::string& fileName, std::string& error);

// Tells that a file could not be written: "NAME konnte nicht geschrieben werden!", and the
// system's reason on a second line.
void ShowNotWritten(HWND owner, const std::string& fileName, const std::string& reason);

// The picture shown as a packed DIB: the decoded one-bit picture (the palette of Scp1.bmp),
// or, before any decode, the sample screen as it is shown.
std::vector<std::uint8_t> ShownPictureDib(const CScreenImage& image, bool decoded, HBITMAP shown);

// Puts a packed DIB on the clipboard as CF_DIB (Windows makes CF_BITMAP from it for older
// programs). Waits up to a second for a clipboard that another program holds; false when it
// stays busy.
bool CopyDibToClipboard(HWND owner, const std::vector<std::uint8_t>& dib);

} // namespace krt460::ui
