#include "ui/display_dlg.h"

#include "res/resource.h"
#include "ui/framework/dpi.h"

#include <algorithm>

namespace krt460::ui {

const MessageMap<CDisplayDlg> CDisplayDlg::messageMap{
    OnMessage(WM_PAINT, &CDisplayDlg::OnPaint),
    OnMessage(CDialog::DpiChangedMessage(), &CDisplayDlg::OnDpiChanged),
};

CDisplayDlg::CDisplayDlg(const IPictureSource& source)
    : CDialogImpl(IDD_DISPLAY), source_(source) {}

BOOL CDisplayDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    FitPicture();
    return TRUE;
}

void CDisplayDlg::FitPicture() {
    // The client area holds the picture with its margin on every side, at this DPI's scale;
    // it only grows, so that at 96 dpi the window is as its template makes it.
    const int scale = PixelScale(Handle());
    const int needed = (kMargin + kScreenWidth + kMargin) * scale;
    RECT client{};
    ::GetClientRect(Handle(), &client);
    if (client.right >= needed && client.bottom >= needed) {
        return;
    }
    RECT window{};
    ::GetWindowRect(Handle(), &window);
    const int width = (window.right - window.left) + std::max(0L, needed - client.right);
    const int height = (window.bottom - window.top) + std::max(0L, needed - client.bottom);
    ::SetWindowPos(Handle(), nullptr, 0, 0, width, height,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CDisplayDlg::OnDpiChanged(WPARAM, LPARAM) {
    // The dialog manager has sized the window for its template at the new DPI; the picture at
    // the new scale may need more.
    FitPicture();
    ::InvalidateRect(Handle(), nullptr, TRUE);
    return TRUE;
}

INT_PTR CDisplayDlg::OnPaint(WPARAM, LPARAM) {
    const PaintDc dc(Handle());
    // A one-bit picture takes the text colour (black) for 0 and the background colour for 1;
    // a colour picture is copied as it is.
    ::SetBkColor(dc.get(), RGB(255, 255, 255));
    const UniqueMemoryDc memory(::CreateCompatibleDC(dc.get()));
    const SelectedObject selected(memory.get(), source_.Picture());
    const PictureDescription& description = source_.Description();
    const int scale = PixelScale(Handle());
    BlitScaled(dc.get(), kMargin * scale, kMargin * scale, memory.get(), description.width,
               description.height, scale);
    return TRUE;
}

} // namespace krt460::ui
