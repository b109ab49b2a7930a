#pragma once

#include "settings/settings_file.h"
#include "ui/framework/dialog.h"

namespace krt460::ui {

// Port and border flag. Every click changes the main window's settings at once; there is
// nothing to confirm or undo.
class CSettingsDlg : public CDialogImpl<CSettingsDlg> {
public:
    explicit CSettingsDlg(Settings& settings);
    static const MessageMap<CSettingsDlg> messageMap;

private:
    BOOL OnInitDialog() override;
    void OnCom1();
    void OnCom2();
    void OnBorder();

    Settings& settings_;
};

} // namespace krt460::ui
