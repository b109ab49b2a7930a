#pragma once

#include "common/unique_handle_win32.h"

#include <windows.h>

namespace krt460::ui {

namespace detail {
inline void DeleteBitmap(HBITMAP bitmap) {
    ::DeleteObject(bitmap);
}
inline void DestroyIconHandle(HICON icon) {
    ::DestroyIcon(icon);
}
inline void DeleteMemoryDc(HDC dc) {
    ::DeleteDC(dc);
}
} // namespace detail

using UniqueBitmap = UniqueHandle<SimpleHandleTraits<HBITMAP, detail::DeleteBitmap, nullptr>>;
using UniqueIcon = UniqueHandle<SimpleHandleTraits<HICON, detail::DestroyIconHandle, nullptr>>;
// A device context made with CreateCompatibleDC; window DCs are released, not deleted.
using UniqueMemoryDc = UniqueHandle<SimpleHandleTraits<HDC, detail::DeleteMemoryDc, nullptr>>;

// BeginPaint/EndPaint for one WM_PAINT.
class PaintDc {
public:
    explicit PaintDc(HWND window) : window_(window) { dc_ = ::BeginPaint(window_, &paint_); }
    ~PaintDc() { ::EndPaint(window_, &paint_); }
    PaintDc(const PaintDc&) = delete;
    PaintDc& operator=(const PaintDc&) = delete;

    HDC get() const { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_ = nullptr;
};

// Selects an object into a device context and puts the previous one back.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(::SelectObject(dc, object)) {}
    ~SelectedObject() {
        if (previous_ != nullptr) {
            ::SelectObject(dc_, previous_);
        }
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

} // namespace krt460::ui
