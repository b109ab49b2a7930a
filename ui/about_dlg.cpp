#include "ui/about_dlg.h"

#include "res/resource.h"

namespace krt460::ui {

// OK and Escape close it; nothing else happens here.
const MessageMap<CAboutDlg> CAboutDlg::messageMap{};

CAboutDlg::CAboutDlg() : CDialogImpl(IDD_ABOUTBOX) {}

} // namespace krt460::ui
