#pragma once

#include <windows.h>

namespace krt460::ui {

// The program's one kind of message box: modal, OK, the exclamation icon, caption "KRT460".
void ShowMessage(HWND owner, const char* text);
// A text of the resources' string table (which holds the texts with umlauts).
void ShowMessage(HWND owner, UINT stringId);

} // namespace krt460::ui
