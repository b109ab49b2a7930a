// Shared wait, input and screen helpers of the end-to-end driver: they find, press, read and
// photograph the windows of another process, as a user's eyes and hands would.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace krt460::e2e {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr auto kDeadline = 30s; // generous: only a hang reaches it

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = kDeadline) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

inline bool Exists(const char* path) {
    return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

inline std::wstring WindowText(HWND window) {
    wchar_t text[256] = {};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                          5000, &ignored);
    return text;
}

inline LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<LRESULT>(result);
}

inline void Click(HWND dialog, int id) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// A key as the keyboard sends it to `window`: it passes through the program's message loop,
// which makes the character of the key from it.
inline void PostKey(HWND window, UINT key) {
    const UINT scan = ::MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    ::PostMessageW(window, WM_KEYDOWN, key, static_cast<LPARAM>(1 | scan << 16));
    ::PostMessageW(window, WM_KEYUP, key, static_cast<LPARAM>(1 | scan << 16 | 0xC0000000u));
}

// A key for the window that has the focus in `dialog` (the dialog itself when it has no
// controls).
inline void Press(HWND dialog, UINT key) {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &gui);
    PostKey(gui.hwndFocus != nullptr && ::GetAncestor(gui.hwndFocus, GA_ROOT) == dialog
                ? gui.hwndFocus
                : dialog,
            key);
}

// The edit field of a combo box, or the field itself.
inline HWND EditOf(HWND field) {
    return ::GetWindow(field, GW_CHILD) != nullptr ? ::GetWindow(field, GW_CHILD) : field;
}

// Types `text` into an edit field (or a combo box's), replacing what it holds, as keys do.
inline void Type(HWND field, const wchar_t* text) {
    const HWND edit = EditOf(field);
    Ask(edit, EM_SETSEL, 0, -1);
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        ::PostMessageW(edit, WM_CHAR, *c, 1);
    }
}

// Ctrl+C as real input: a shortcut needs the keyboard state, which only input sets.
inline void PressCtrlC(HWND window) {
    ::SetForegroundWindow(window);
    WaitUntil([&] { return ::GetForegroundWindow() == window; }, 5s);
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_CONTROL, 'C', 'C', VK_CONTROL};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    ::SendInput(4, keys, sizeof(INPUT));
}

struct DialogSearch {
    DWORD pid;
    const std::wstring& caption;
    int control;
    HWND found = nullptr;
};

inline BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
    auto& s = *reinterpret_cast<DialogSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t className[32] = {};
    ::GetClassNameW(window, className, 32);
    if (pid == s.pid && std::wstring(className) == L"#32770" && ::IsWindowVisible(window) &&
        WindowText(window) == s.caption &&
        (s.control == 0 || ::GetDlgItem(window, s.control) != nullptr)) {
        s.found = window;
    }
    return s.found == nullptr;
}

// Whether two windows do not overlap and both lie inside the work area of the first's monitor.
inline bool ApartInsideWorkArea(HWND first, HWND second) {
    RECT a{}, b{}, overlap{}, both{}, all{};
    MONITORINFO monitor{sizeof monitor, {}, {}, 0};
    return ::GetWindowRect(first, &a) && ::GetWindowRect(second, &b) &&
           ::GetMonitorInfoW(::MonitorFromWindow(first, MONITOR_DEFAULTTONEAREST), &monitor) &&
           !::IntersectRect(&overlap, &a, &b) && ::UnionRect(&both, &a, &b) &&
           ::UnionRect(&all, &both, &monitor.rcWork) && ::EqualRect(&all, &monitor.rcWork);
}

// The client area as it is on the screen, one 0xRRGGBB a pixel.
class ScreenShot {
public:
    ScreenShot(HWND window, int width, int height) : width_(width) {
        POINT origin{0, 0};
        ::ClientToScreen(window, &origin);
        const HDC screen = ::GetDC(nullptr);
        const HDC memory = ::CreateCompatibleDC(screen);
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        const HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        const HGDIOBJ old = ::SelectObject(memory, bitmap);
        ::BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
        const auto* pixels = static_cast<const std::uint32_t*>(bits);
        pixels_.assign(pixels, pixels + width * height);
        ::SelectObject(memory, old);
        ::DeleteObject(bitmap);
        ::DeleteDC(memory);
        ::ReleaseDC(nullptr, screen);
    }
    std::uint32_t At(int x, int y) const {
        return pixels_[static_cast<std::size_t>(y * width_ + x)] & 0xFFFFFF;
    }

private:
    int width_;
    std::vector<std::uint32_t> pixels_;
};

// The screen's pixel scale, as the program computes it.
inline int Scale() {
    const HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
    ::ReleaseDC(nullptr, screen);
    return std::max(1, (dpi + 48) / 96);
}

// The packed DIB on the clipboard, taken off it.
inline Bytes TakeClipboardDib() {
    Bytes dib;
    WaitUntil(
        [&] {
            // Looking first keeps the clipboard free for the program while it copies.
            if (::IsClipboardFormatAvailable(CF_DIB) && ::OpenClipboard(nullptr)) {
                if (const HANDLE data = ::GetClipboardData(CF_DIB)) {
                    const auto* bytes = static_cast<const std::uint8_t*>(::GlobalLock(data));
                    dib.assign(bytes, bytes + ::GlobalSize(data));
                    ::GlobalUnlock(data);
                    ::EmptyClipboard();
                }
                ::CloseClipboard();
            }
            return !dib.empty();
        },
        10s);
    return dib;
}

inline BOOL CALLBACK CheckTextFits(HWND control, LPARAM fit) {
    wchar_t className[16] = {};
    ::GetClassNameW(control, className, 16);
    if (std::wstring(className) != L"Static" ||
        (::GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        return TRUE;
    }
    const HDC dc = ::GetDC(control);
    const HFONT font =
        ::CreateFontW(-::MulDiv(8, ::GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, 0, 0,
                      0, DEFAULT_CHARSET, 0, 0, 0, 0, L"MS Sans Serif");
    const HGDIOBJ old = ::SelectObject(dc, font);
    const std::wstring text = WindowText(control);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::DeleteObject(::SelectObject(dc, old));
    ::ReleaseDC(control, dc);
    RECT client{};
    ::GetClientRect(control, &client);
    if (size.cx > client.right) {
        std::printf("  \"%ls\" needs %ld pixels, has %ld\n", text.c_str(), size.cx, client.right);
        *reinterpret_cast<bool*>(fit) = false;
    }
    return TRUE;
}

// Every static text of the dialog fits its control, measured with the dialog's font.
inline bool TextsFit(HWND dialog) {
    bool fit = dialog != nullptr;
    ::EnumChildWindows(dialog, CheckTextFits, reinterpret_cast<LPARAM>(&fit));
    return fit;
}

} // namespace krt460::e2e
