#include "ui/framework/dialog.h"

#include <algorithm>
#include <string_view>

namespace krt460::ui {

CDialog::~CDialog() {
    if (window_ != nullptr && !modal_) {
        ::DestroyWindow(window_);
    }
}

HINSTANCE CDialog::Instance() {
    return ::GetModuleHandleW(nullptr);
}

INT_PTR CDialog::DoModal(HWND owner) {
    modal_ = true;
    ended_ = false;
    result_ = -1;
    if (::CreateDialogParamW(Instance(), MAKEINTRESOURCEW(templateId_), owner, DialogProc,
                             reinterpret_cast<LPARAM>(this)) == nullptr) {
        return -1;
    }
    // As DialogBox does: the owner takes no input while this runs.
    const bool disableOwner = owner != nullptr && ::IsWindowEnabled(owner);
    if (disableOwner) {
        ::EnableWindow(owner, FALSE);
    }
    ::ShowWindow(window_, SW_SHOW);
    MSG message{};
    bool quit = false;
    while (!ended_ && window_ != nullptr) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got <= 0) {
            quit = got == 0;
            break;
        }
        if (!PreTranslateMessage(message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    // The owner is enabled before this window goes, so that it becomes the active window.
    if (disableOwner) {
        ::EnableWindow(owner, TRUE);
    }
    if (window_ != nullptr) {
        ::DestroyWindow(window_);
    }
    if (quit) {
        ::PostQuitMessage(static_cast<int>(message.wParam));
    }
    return result_;
}

UINT CDialog::DpiChangedMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"KRT460.DpiChanged");
    return message;
}

HACCEL CDialog::accelerators_ = nullptr;
HWND CDialog::acceleratorTarget_ = nullptr;
std::vector<HWND> CDialog::acceleratorWindows_;

void CDialog::SetAccelerators(HACCEL table, HWND target, std::initializer_list<HWND> alsoFrom) {
    accelerators_ = table;
    acceleratorTarget_ = target;
    acceleratorWindows_.assign(alsoFrom);
    acceleratorWindows_.push_back(target);
}

bool CDialog::PreTranslateMessage(MSG& message) {
    if (message.message < WM_KEYFIRST || message.message > WM_KEYLAST || message.hwnd == nullptr) {
        return false;
    }
    const HWND root = ::GetAncestor(message.hwnd, GA_ROOT);
    if (accelerators_ != nullptr && ::IsWindow(acceleratorTarget_) &&
        std::find(acceleratorWindows_.begin(), acceleratorWindows_.end(), root) !=
            acceleratorWindows_.end() &&
        ::TranslateAcceleratorW(acceleratorTarget_, accelerators_, &message) != 0) {
        return true;
    }
    wchar_t className[8] = {};
    ::GetClassNameW(root, className, 8);
    if (std::wstring_view(className) != L"#32770") {
        return false; // not a dialog
    }
    return ::IsDialogMessageW(root, &message) != FALSE;
}

bool CDialog::Create(HWND owner) {
    modal_ = false;
    return ::CreateDialogParamW(Instance(), MAKEINTRESOURCEW(templateId_), owner, DialogProc,
                                reinterpret_cast<LPARAM>(this)) != nullptr;
}

void CDialog::EndDialog(INT_PTR result) {
    if (modal_) {
        result_ = result;
        ended_ = true;
        ::PostMessageW(window_, WM_NULL, 0, 0); // wakes the loop
    } else {
        ::ShowWindow(window_, SW_HIDE);
    }
}

std::string CDialog::ItemText(int id) const {
    const HWND item = Item(id);
    std::string text(static_cast<std::size_t>(::GetWindowTextLengthA(item)) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextA(item, text.data(), static_cast<int>(text.size()))));
    return text;
}

BOOL CDialog::OnInitDialog() {
    return TRUE;
}

void CDialog::CenterOverOwner() {
    RECT area{};
    const HWND owner = ::GetWindow(window_, GW_OWNER);
    if (owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
        ::GetWindowRect(owner, &area);
    } else {
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    }
    RECT self{};
    ::GetWindowRect(window_, &self);
    const int width = self.right - self.left;
    const int height = self.bottom - self.top;
    const int x = area.left + (area.right - area.left - width) / 2;
    const int y = area.top + (area.bottom - area.top - height) / 2;
    ::SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
        const BOOL result = self->OnInitDialog();
        // After the dialog's own initialisation: windows it created meanwhile were placed
        // relative to where it first stood.
        if (self->modal_) {
            self->CenterOverOwner();
        }
        self->OnPlaced();
        return result;
    }
    auto* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) {
        return FALSE; // messages before WM_INITDIALOG
    }
    if (message == WM_DPICHANGED) {
        // Left to the dialog manager, which scales the dialog from its template (per-monitor
        // v2); the dialog's own part follows once that is done.
        ::PostMessageW(window, DpiChangedMessage(), wParam, 0);
        return FALSE;
    }
    INT_PTR result = FALSE;
    if (self->Dispatch(message, wParam, lParam, result)) {
        return result;
    }
    switch (message) {
    case WM_COMMAND:
        if ((LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) && HIWORD(wParam) <= 1) {
            self->EndDialog(LOWORD(wParam));
            return TRUE;
        }
        break;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(window, DWLP_USER, 0);
        self->window_ = nullptr;
        break;
    default:
        break;
    }
    return FALSE;
}

} // namespace krt460::ui
