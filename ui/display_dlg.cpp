#include "ui/display_dlg.h"

#include "res/resource.h"

namespace krt460::ui {

const MessageMap<CDisplayDlg> CDisplayDlg::messageMap{
    OnMessage(WM_PAINT, &CDisplayDlg::OnPaint),
};

CDisplayDlg::CDisplayDlg(const IPictureSource& source)
    : CDialogImpl(IDD_DISPLAY), source_(source) {}

INT_PTR CDisplayDlg::OnPaint(WPARAM, LPARAM) {
    const PaintDc dc(Handle());
    // A one-bit picture takes the text colour (black) for 0 and the background colour for 1;
    // a colour picture is copied as it is.
    ::SetBkColor(dc.get(), RGB(255, 255, 255));
    const UniqueMemoryDc memory(::CreateCompatibleDC(dc.get()));
    const SelectedObject selected(memory.get(), source_.Picture());
    const PictureDescription& description = source_.Description();
    ::BitBlt(dc.get(), 5, 5, description.width, description.height, memory.get(), 0, 0, SRCCOPY);
    return TRUE;
}

} // namespace krt460::ui
