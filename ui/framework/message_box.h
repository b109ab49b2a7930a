#pragma once

#include <windows.h>

#include <string>

namespace krt460::ui {

// The program's one kind of message box: modal, OK, the exclamation icon, caption "KRT460".
void ShowMessage(HWND owner, const char* text);
void ShowMessage(HWND owner, const std::wstring& text);
// A text of the resources' string table (which holds the texts with umlauts).
void ShowMessage(HWND owner, UINT stringId);

// A question with Ja and Nein; true for Ja.
bool AskYesNo(HWND owner, const std::wstring& question);

// A text of the string table.
std::wstring LoadText(UINT stringId);

// A text of the string table with its %u fields filled in.
std::wstring FormatText(UINT stringId, unsigned first, unsigned second = 0);

} // namespace krt460::ui
