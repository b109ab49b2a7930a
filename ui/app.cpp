// KRT460.exe: the application object and its start-up.
#include "ui/framework/message_box.h"
#include "ui/framework/win_app.h"
#include "ui/main_dlg.h"

#include <memory>

namespace krt460::ui {
namespace {

class CCaptureApp : public CWinApp {
protected:
    BOOL InitInstance() override {
        EnableVisualStyles();
        auto mainDlg = std::make_unique<CMainDlg>();
        mainDlg->DoModal(nullptr);
        if (!mainDlg->StopAndSaveSettings()) {
            ShowMessage(nullptr, "KRT460.ini konnte nicht geschrieben werden!");
        }
        return FALSE; // no message loop: the process ends here
    }
};

CCaptureApp theApp;

} // namespace
} // namespace krt460::ui
