#include "ui/framework/dpi.h"

#include <utility>

namespace krt460::ui {
namespace {

// A function of a system DLL that older Windows (or the MinGW import libraries) lack: looked up
// where the program runs, null when that system has none.
template <typename Function> Function SystemFunction(const wchar_t* module, const char* name) {
    const HMODULE loaded = ::GetModuleHandleW(module);
    return loaded != nullptr
               ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(loaded, name)))
               : nullptr;
}

} // namespace

int WindowDpi(HWND window) {
    static const auto getDpiForWindow =
        SystemFunction<UINT(WINAPI*)(HWND)>(L"user32.dll", "GetDpiForWindow");
    int dpi = 0;
    if (getDpiForWindow != nullptr && window != nullptr) {
        dpi = static_cast<int>(getDpiForWindow(window));
    }
    if (dpi <= 0) {
        const HDC screen = ::GetDC(nullptr);
        dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
        ::ReleaseDC(nullptr, screen);
    }
    return dpi;
}

int PixelScale(HWND window) {
    const int scale = (WindowDpi(window) + 48) / 96;
    return scale < 1 ? 1 : scale;
}

int MetricForDpi(int index, int dpi) {
    // Without GetSystemMetricsForDpi (before Windows 10) every window has the system's DPI.
    static const auto forDpi =
        SystemFunction<int(WINAPI*)(int, UINT)>(L"user32.dll", "GetSystemMetricsForDpi");
    return forDpi != nullptr ? forDpi(index, static_cast<UINT>(dpi)) : ::GetSystemMetrics(index);
}

HICON LoadIconOfSize(UINT id, int size) {
    // comctl32 6, which the manifest asks for; a program without the manifest has version 5.
    static const auto scaleDown =
        SystemFunction<HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*)>(
            L"comctl32.dll", "LoadIconWithScaleDown");
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    HICON icon = nullptr;
    if (scaleDown != nullptr &&
        SUCCEEDED(scaleDown(instance, MAKEINTRESOURCEW(id), size, size, &icon))) {
        return icon;
    }
    return static_cast<HICON>(
        ::LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
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

void SetWindowIcons(HWND window, UINT id, UniqueIcon& icon, UniqueIcon& smallIcon) {
    const int dpi = WindowDpi(window);
    UniqueIcon big(LoadIconOfSize(id, MetricForDpi(SM_CXICON, dpi)));
    UniqueIcon little(LoadIconOfSize(id, MetricForDpi(SM_CXSMICON, dpi)));
    ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.get()));
    ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(little.get()));
    icon = std::move(big);
    smallIcon = std::move(little);
}

} // namespace krt460::ui
