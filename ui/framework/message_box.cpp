#include "ui/framework/message_box.h"

namespace krt460::ui {

void ShowMessage(HWND owner, const char* text) {
    ::MessageBoxA(owner, text, "KRT460", MB_OK | MB_ICONEXCLAMATION);
}

} // namespace krt460::ui
