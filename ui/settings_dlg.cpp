#include "ui/settings_dlg.h"

#include "capture/serial_port.h"
#include "res/resource.h"

namespace krt460::ui {

const MessageMap<CSettingsDlg> CSettingsDlg::messageMap{
    OnCommand(IDC_RADIO_COM1, &CSettingsDlg::OnCom1),
    OnCommand(IDC_RADIO_COM2, &CSettingsDlg::OnCom2),
    OnCommand(IDC_RADIO_OTHER, &CSettingsDlg::OnOther),
    OnCommand(IDC_CHECK_BORDER, &CSettingsDlg::OnBorder),
    OnCommand(IDOK, &CSettingsDlg::OnOk),
    OnNotification(IDC_PORT_NAME, CBN_EDITCHANGE, &CSettingsDlg::OnOther), // typing chooses it
    OnNotification(IDC_PORT_NAME, CBN_SELENDOK, &CSettingsDlg::OnNameChosen),
};

CSettingsDlg::CSettingsDlg(Settings& settings) : CDialogImpl(IDD_SETTINGS), settings_(settings) {}

BOOL CSettingsDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    const HWND names = Item(IDC_PORT_NAME);
    for (const PortInfo& port : ListSerialPorts()) {
        ::SendMessageA(names, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port.name.c_str()));
    }
    // Exact and case-sensitive: any other name (com1, COM7, \\.\COM12) is shown as it stands
    // under "Andere:", so that OK keeps it.
    int choice = IDC_RADIO_OTHER;
    if (settings_.portName == "COM1") {
        choice = IDC_RADIO_COM1;
    } else if (settings_.portName == "COM2") {
        choice = IDC_RADIO_COM2;
    } else {
        ::SetWindowTextA(names, settings_.portName.c_str());
    }
    ::CheckDlgButton(Handle(), choice, BST_CHECKED);
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

void CSettingsDlg::OnOther() {
    ChooseOther(ItemText(IDC_PORT_NAME));
}

void CSettingsDlg::OnOk() {
    if (::IsDlgButtonChecked(Handle(), IDC_RADIO_OTHER) == BST_CHECKED) {
        ChooseOther(ItemText(IDC_PORT_NAME));
    }
    EndDialog(IDOK);
}

void CSettingsDlg::OnBorder() {
    settings_.border = ::IsDlgButtonChecked(Handle(), IDC_CHECK_BORDER) == BST_CHECKED;
}

void CSettingsDlg::OnNameChosen() {
    // Choosing a name from the list chooses "Andere:". The field shows the chosen entry only after
    // this notification: read the entry itself.
    const HWND names = Item(IDC_PORT_NAME);
    const LRESULT index = ::SendMessageA(names, CB_GETCURSEL, 0, 0);
    const LRESULT length = ::SendMessageA(names, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (index == CB_ERR || length <= 0) {
        return;
    }
    std::string name(static_cast<std::size_t>(length) + 1, '\0');
    ::SendMessageA(names, CB_GETLBTEXT, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(name.data()));
    name.resize(static_cast<std::size_t>(length));
    ChooseOther(name);
}

void CSettingsDlg::ChooseOther(const std::string& name) {
    ::CheckRadioButton(Handle(), IDC_RADIO_COM1, IDC_RADIO_OTHER, IDC_RADIO_OTHER);
    if (!name.empty()) {
        settings_.portName = name; // an empty field keeps the port as it was
    }
}

} // namespace krt460::ui
