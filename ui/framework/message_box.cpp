#include "ui/framework/message_box.h"

#include <cwchar>

namespace krt460::ui {
std::wstring LoadText(UINT stringId) {
    const wchar_t* text = nullptr;
    // With a zero length LoadStringW points into the resource instead of copying.
    const int length =
        ::LoadStringW(::GetModuleHandleW(nullptr), stringId, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

void ShowMessage(HWND owner, const char* text) {
    ::MessageBoxA(owner, text, "KRT460", MB_OK | MB_ICONEXCLAMATION);
}

void ShowMessage(HWND owner, const std::wstring& text) {
    ::MessageBoxW(owner, text.c_str(), L"KRT460", MB_OK | MB_ICONEXCLAMATION);
}

void ShowMessage(HWND owner, UINT stringId) {
    ShowMessage(owner, LoadText(stringId));
}

bool AskYesNo(HWND owner, const std::wstring& question) {
    return ::MessageBoxW(owner, question.c_str(), L"KRT460", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

std::wstring FormatText(UINT stringId, unsigned first, unsigned second) {
    wchar_t text[512] = {};
    std::swprintf(text, std::size(text), LoadText(stringId).c_str(), first, second);
    return text;
}

} // namespace krt460::ui
