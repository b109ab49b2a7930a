#pragma once

#include "settings/settings_file.h"
#include "ui/framework/dialog.h"

namespace krt460::ui {

// Port and border flag. Every click changes the main window's settings at once; there is
// nothing to confirm or undo. Besides COM1 and COM2, "Andere:" takes any port: one of the
// list of ports present, or a typed name.
class CSettingsDlg : public CDialogImpl<CSettingsDlg> {
public:
    explicit CSettingsDlg(Settings& settings);
    static const MessageMap<CSettingsDlg> messageMap;

private:
    BOOL OnInitDialog() override;
    void OnCom1();
    void OnCom2();
    void OnOther();
    void OnOk();
    void OnBorder();
    void OnNameChosen();

    // Checks "Andere:" and makes a non-empty name the port.
    void ChooseOther(const std::string& name);

    Settings& settings_;
};

} // namespace krt460::ui
