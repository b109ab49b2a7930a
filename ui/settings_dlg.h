#pragma once

#include "settings/settings_file.h"
#include "ui/framework/dialog.h"

#include <string>

namespace krt460::ui {

// Port, border flag and whether every print is saved. Every click changes the main window's
// settings at once; there is nothing to confirm or undo. Besides COM1 and COM2, "Andere:" takes any
// port: one of the list of ports present, or a typed name. The checked button always shows the
// port.
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
    void OnEveryPrint();
    void OnNameEdited();
    void OnNameChosen();

    // Makes a name the port, checking "Andere:"; without a name the port becomes `otherwise`
    // and its own button is checked.
    void TakeName(const std::string& name, const std::string& otherwise);

    Settings& settings_;
    std::string openedWith_; // the port when the dialog opened
};

} // namespace krt460::ui
