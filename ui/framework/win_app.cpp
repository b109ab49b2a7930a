#include "ui/framework/win_app.h"

#include "ui/framework/dialog.h"

#include <commctrl.h>

namespace krt460::ui {

CWinApp* CWinApp::current_ = nullptr;

CWinApp::CWinApp() {
    current_ = this;
}

CWinApp::~CWinApp() {
    current_ = nullptr;
}

void CWinApp::EnableVisualStyles() {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
}

int CWinApp::Run() {
    if (!InitInstance()) {
        return 0;
    }
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!CDialog::PreTranslateMessage(message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

} // namespace krt460::ui

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    krt460::ui::CWinApp* app = krt460::ui::CWinApp::Current();
    return app != nullptr ? app->Run() : 1;
}
