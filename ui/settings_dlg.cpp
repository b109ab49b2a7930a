#include "ui/settings_dlg.h"

#include "capture/serial_port.h"
#include "res/resource.h"

namespace krt460::ui {

const MessageMap<CSettingsDlg> CSettingsDlg::messageMap{
    OnCommand(IDC_RADIO_COM1, &CSettingsDlg::OnCom1),
    OnCommand(IDC_RADIO_COM2, &CSettingsDlg::OnCom2),
    OnCommand(IDC_RADIO_OTHER, &CSettingsDlg::OnOther),
    OnCommand(IDC_CHECK_BORDER, &CSettingsDlg::OnBorder),
    OnCommand(IDC_CHECK_EVERY_PRINT, &CSettingsDlg::OnEveryPrint),
    OnCommand(IDOK, &CSettingsDlg::OnOk),
    OnNotification(IDC_PORT_NAME, CBN_EDITCHANGE, &CSettingsDlg::OnNameEdited),
    OnNotification(IDC_PORT_NAME, CBN_SELENDOK, &CSettingsDlg::OnNameChosen),
};

namespace {

// The whole name, without the blanks around it.
std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos
               ? ""
               : text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// Exact and case-sensitive: any other name (com1, COM7, \\.\COM12) is "Andere:".
int ButtonOf(const std::string& port) {
    return port == "COM1" ? IDC_RADIO_COM1 : port == "COM2" ? IDC_RADIO_COM2 : IDC_RADIO_OTHER;
}

} // namespace

CSettingsDlg::CSettingsDlg(Settings& settings) : CDialogImpl(IDD_SETTINGS), settings_(settings) {}

BOOL CSettingsDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    const HWND names = Item(IDC_PORT_NAME);
    for (const PortInfo& port : ListSerialPorts()) {
        ::SendMessageA(names, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port.name.c_str()));
    }
    // Another port's name is shown as it stands under "Andere:", so that OK keeps it.
    openedWith_ = settings_.portName;
    const int choice = ButtonOf(openedWith_);
    if (choice == IDC_RADIO_OTHER) {
        ::SetWindowTextA(names, openedWith_.c_str());
    }
    ::CheckDlgButton(Handle(), choice, BST_CHECKED);
    if (settings_.border) {
        ::CheckDlgButton(Handle(), IDC_CHECK_BORDER, BST_CHECKED);
    }
    if (settings_.saveEveryPrint) {
        ::CheckDlgButton(Handle(), IDC_CHECK_EVERY_PRINT, BST_CHECKED);
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
    // Without a name there is nothing to choose: the port stays, and so does its button.
    TakeName(ItemText(IDC_PORT_NAME), settings_.portName);
}

void CSettingsDlg::OnNameEdited() {
    // Every keystroke: a name erased gives back the port the dialog opened with, never what is
    // left of the name on the way.
    TakeName(ItemText(IDC_PORT_NAME), openedWith_);
}

void CSettingsDlg::OnOk() {
    if (::IsDlgButtonChecked(Handle(), IDC_RADIO_OTHER) == BST_CHECKED) {
        OnOther(); // the field as it stands, however it got its text
    }
    EndDialog(IDOK);
}

void CSettingsDlg::OnBorder() {
    settings_.border = ::IsDlgButtonChecked(Handle(), IDC_CHECK_BORDER) == BST_CHECKED;
}

void CSettingsDlg::OnEveryPrint() {
    // A series already armed goes on as it was armed; this applies from the next Empfangen.
    settings_.saveEveryPrint = ::IsDlgButtonChecked(Handle(), IDC_CHECK_EVERY_PRINT) == BST_CHECKED;
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
    TakeName(name, settings_.portName);
}

void CSettingsDlg::TakeName(const std::string& name, const std::string& otherwise) {
    const std::string whole = Trimmed(name);
    settings_.portName = whole.empty() ? otherwise : whole;
    // Not CheckRadioButton: the ids from COM1 to Andere: include Rahmen and 320 x 320.
    const int button = whole.empty() ? ButtonOf(settings_.portName) : IDC_RADIO_OTHER;
    for (const int id : {IDC_RADIO_COM1, IDC_RADIO_COM2, IDC_RADIO_OTHER}) {
        ::CheckDlgButton(Handle(), id, id == button ? BST_CHECKED : BST_UNCHECKED);
    }
}

} // namespace krt460::ui
