#include "ui/bitmaps_dlg.h"

#include "res/resource.h"
#include "ui/picture_export.h"

namespace krt460::ui {

const MessageMap<CBitmapsDlg> CBitmapsDlg::messageMap{
    OnCommand(IDOK, &CBitmapsDlg::OnSave),
};

CBitmapsDlg::CBitmapsDlg(const CScreenImage& image) : CDialogImpl(IDD_BITMAPS), image_(image) {}

std::string CBitmapsDlg::BitmapFileName(const std::string& typed) {
    return HasExtension(typed, ".bmp") || HasExtension(typed, ".png") ? typed : typed + ".bmp";
}

BOOL CBitmapsDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    char pattern[] = "*.bmp"; // DlgDirListA writes into its pattern
    ::DlgDirListA(Handle(), pattern, IDC_FILE_LIST, 0, 0);
    ::SendMessageA(Item(IDC_FILE_LIST), LB_DIR, 0, reinterpret_cast<LPARAM>("*.png"));
    return TRUE; // the focus goes to the first control in tab order, Save
}

void CBitmapsDlg::OnSave() {
    const std::string typed = ItemText(IDC_FILE_NAME);
    if (!typed.empty()) {
        const std::string fileName = BitmapFileName(typed);
        std::string error;
        if (!SavePicture(image_, fileName, error)) {
            // Stay open with the name kept, so that it can be corrected.
            ShowNotWritten(Handle(), fileName, error);
            return;
        }
    }
    EndDialog(IDOK);
}

} // namespace krt460::ui
