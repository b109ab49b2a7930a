#pragma once

#include "ui/framework/dialog.h"

namespace krt460::ui {

class CAboutDlg : public CDialogImpl<CAboutDlg> {
public:
    CAboutDlg();
    static const MessageMap<CAboutDlg> messageMap;
};

} // namespace krt460::ui
