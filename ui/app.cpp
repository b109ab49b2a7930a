// KRT460.exe: the application object and its start-up.
#include "settings/settings_file.h"
#include "ui/framework/win_app.h"
#include "ui/main_dlg.h"
#include "ui/picture_export.h"

#include <memory>
#include <string>

namespace krt460::ui {
namespace {

class CCaptureApp : public CWinApp {
protected:
    BOOL InitInstance() override {
        EnableVisualStyles();
        auto mainDlg = std::make_unique<CMainDlg>();
        mainDlg->DoModal(nullptr);
        if (std::string reason; !mainDlg->StopAndSaveSettings(&reason)) {
            ShowNotWritten(nullptr, kSettingsFileName, reason);
        }
        return FALSE; // no message loop: the process ends here
    }
};

CCaptureApp theApp;

} // namespace
} // namespace krt460::ui
