#include "ui/settings_dlg.h"

#include "res/resource.h"

namespace krt460::ui {

const MessageMap<CSettingsDlg> CSettingsDlg::messageMap{
    OnCommand(IDC_RADIO_COM1, &CSettingsDlg::OnCom1),
    OnCommand(IDC_RADIO_COM2, &CSettingsDlg::OnCom2),
    OnCommand(IDC_CHECK_BORDER, &CSettingsDlg::OnBorder),
};

CSettingsDlg::CSettingsDlg(Settings& settings) : CDialogImpl(IDD_SETTINGS), settings_(settings) {}

BOOL CSettingsDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    // Exact and case-sensitive: any other name (com1, COM3) shows as COM2 but stays as it is
    // until a button is clicked.
    ::CheckDlgButton(Handle(), settings_.portName == "COM1" ? IDC_RADIO_COM1 : IDC_RADIO_COM2,
                     BST_CHECKED);
    if (settings_.border) {
        ::CheckDlgButton(Handle(), IDC_CHECK_BORDER, BST_CHECKED);
    }
    // "320 x 320" is not offered yet: greyed, and a click does not change it.
    const HWND large = Item(IDC_CHECK_320);
    ::SendMessageW(large, BM_SETSTYLE, BS_3STATE, TRUE);
    ::SendMessageW(large, BM_SETCHECK, BST_INDETERMINATE, 0);
    return TRUE;
}

void CSettingsDlg::OnCom1() {
    settings_.portName = "COM1";
}

void CSettingsDlg::OnCom2() {
    settings_.portName = "COM2";
}

void CSettingsDlg::OnBorder() {
    settings_.border = ::IsDlgButtonChecked(Handle(), IDC_CHECK_BORDER) == BST_CHECKED;
}

} // namespace krt460::ui
