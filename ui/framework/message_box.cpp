#include "ui/framework/message_box.h"

namespace krt460::ui {

void ShowMessage(HWND owner, const char* text) {
    ::MessageBoxA(owner, text, "KRT460", MB_OK | MB_ICONEXCLAMATION);
}

void ShowMessage(HWND owner, UINT stringId) {
    wchar_t text[256] = {};
    ::LoadStringW(::GetModuleHandleW(nullptr), stringId, text, 256);
    ::MessageBoxW(owner, text, L"KRT460", MB_OK | MB_ICONEXCLAMATION);
}

} // namespace krt460::ui
