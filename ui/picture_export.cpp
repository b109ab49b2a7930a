#include "ui/picture_export.h"

#include "common/file_output.h"
#include "image/png_encoder.h"
#include "ui/framework/message_box.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace krt460::ui {
namespace {

// A clipboard manager or a remote-desktop client holds the clipboard for a moment after every
// change; wait for it briefly rather than tell the user it is not available.
bool OpenClipboardWhenFree(HWND owner) {
    const ULONGLONG giveUpAt = ::GetTickCount64() + 1000;
    while (!::OpenClipboard(owner)) {
        if (::GetTickCount64() >= giveUpAt) {
            return false;
        }
        ::Sleep(20);
    }
    return true;
}

} // namespace

bool HasExtension(const std::string& fileName, std::string_view extension) {
    const std::size_t length = extension.size();
    return fileName.size() >= length &&
           std::equal(fileName.end() - static_cast<std::ptrdiff_t>(length), fileName.end(),
                      extension.begin(), [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

bool SavePicture(const CScreenImage& image, const std::string& fileName, std::string& error) {
    if (!HasExtension(fileName, ".png")) {
        return image.SaveBitmapFile(fileName, &error);
    }
    const auto& rows = image.Rows();
    std::vector<std::uint8_t> png;
    return EncodePng(kScreenWidth, kScreenHeight,
                     {reinterpret_cast<const std::uint8_t*>(rows.data()), sizeof rows}, png,
                     error) &&
           WriteFileAtomically(fileName, png, error);
}

void ShowNotWritten(HWND owner, const std::string& fileName, const std::string& reason) {
    // The reason is in the user's language and ANSI code page, as the message box reads it.
    const std::string text = fileName + " konnte nicht geschrieben werden!\n" + reason;
    ShowMessage(owner, text.c_str());
}

std::vector<std::uint8_t> ShownPictureDib(const CScreenImage& image, bool decoded, HBITMAP shown) {
    if (decoded) {
        // The BMP file without its 14-byte file header is exactly the packed DIB.
        const BitmapFileBytes file = image.EncodeBitmap();
        return {file.begin() + 14, file.end()};
    }
    // The sample screen, in its own 16 colours.
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[16];
    } info{};
    info.header = {
        sizeof(BITMAPINFOHEADER), kScreenWidth, kScreenHeight, 1, 4, BI_RGB, 0, 0, 0, 0, 0};
    const std::size_t stride = (kScreenWidth * 4 + 31) / 32 * 4;
    std::vector<std::uint8_t> dib(sizeof info + stride * kScreenHeight);
    const HDC screen = ::GetDC(nullptr);
    const int lines = ::GetDIBits(screen, shown, 0, kScreenHeight, dib.data() + sizeof info,
                                  reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    if (lines != kScreenHeight) {
        return {};
    }
    std::memcpy(dib.data(), &info, sizeof info);
    return dib;
}

bool CopyDibToClipboard(HWND owner, const std::vector<std::uint8_t>& dib) {
    if (dib.empty() || !OpenClipboardWhenFree(owner)) {
        return false;
    }
    bool placed = false;
    if (::EmptyClipboard()) {
        if (const HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, dib.size())) {
            if (void* bytes = ::GlobalLock(memory)) {
                std::memcpy(bytes, dib.data(), dib.size());
                ::GlobalUnlock(memory);
                placed = ::SetClipboardData(CF_DIB, memory) != nullptr;
            }
            if (!placed) {
                ::GlobalFree(memory); // the clipboard owns it only once placed
            }
        }
    }
    ::CloseClipboard();
    return placed;
}

} // namespace krt460::ui
