#include "ui/framework/dpi.h"

namespace krt460::ui {

int PixelScale(HWND window) {
    // GetDpiForWindow knows the window's monitor (Windows 10 and later); older systems have one
    // DPI for the whole screen.
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow =
        reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    int dpi = 0;
    if (getDpiForWindow != nullptr && window != nullptr) {
        dpi = static_cast<int>(getDpiForWindow(window));
    }
    if (dpi <= 0) {
        const HDC screen = ::GetDC(nullptr);
        dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
        ::ReleaseDC(nullptr, screen);
    }
    const int scale = (dpi + 48) / 96;
    return scale < 1 ? 1 : scale;
}

void BlitScaled(HDC target, int x, int y, HDC source, int width, int height, int scale) {
    if (scale == 1) {
        ::BitBlt(target, x, y, width, height, source, 0, 0, SRCCOPY);
        return;
    }
    const int previous = ::SetStretchBltMode(target, COLORONCOLOR);
    ::StretchBlt(target, x, y, width * scale, height * scale, source, 0, 0, width, height, SRCCOPY);
    ::SetStretchBltMode(target, previous);
}

} // namespace krt460::ui
