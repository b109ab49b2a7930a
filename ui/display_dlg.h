#pragma once

#include "ui/framework/dialog.h"
#include "ui/screen_picture.h"

namespace krt460::ui {

// The window in which the screen picture is seen. It holds no picture of its own: it paints its
// owner's current one, black on white, at (5, 5).
class CDisplayDlg : public CDialogImpl<CDisplayDlg> {
public:
    explicit CDisplayDlg(const IPictureSource& source);
    static const MessageMap<CDisplayDlg> messageMap;

private:
    INT_PTR OnPaint(WPARAM, LPARAM);

    const IPictureSource& source_;
};

} // namespace krt460::ui
