#pragma once

#include "ui/framework/dialog.h"
#include "ui/screen_picture.h"

namespace krt460::ui {

// The window in which the screen picture is seen. It holds no picture of its own: it paints its
// owner's current one, black on white, at (5, 5), each dot enlarged to the DPI's pixel scale.
class CDisplayDlg : public CDialogImpl<CDisplayDlg> {
public:
    explicit CDisplayDlg(const IPictureSource& source);
    static const MessageMap<CDisplayDlg> messageMap;

private:
    static constexpr int kMargin = 5;

    BOOL OnInitDialog() override;
    INT_PTR OnPaint(WPARAM, LPARAM);
    INT_PTR OnDpiChanged(WPARAM, LPARAM);
    void FitPicture();

    const IPictureSource& source_;
};

} // namespace krt460::ui
