#include "ui/main_dlg.h"

#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/bitmaps_dlg.h"
#include "ui/framework/dpi.h"
#include "ui/framework/message_box.h"
#include "ui/framework/placement.h"
#include "ui/picture_export.h"
#include "ui/settings_dlg.h"

#include <cstdio>
#include <utility>

namespace krt460::ui {
namespace {

constexpr UINT_PTR kByteCountTimer = 1;
// ms: four updates a second while a capture runs. Each is a repaint, which under Wine costs its
// server work too; more would cost more than the whole receiving.
constexpr UINT kByteCountInterval = 250;
constexpr POINT kLampPosition{6, 6};
// Posted by the receive worker: prints wait in the queue.
constexpr UINT kPrintsArrivedMessage = WM_APP + 1;

UINT PictureOf(LampState state) {
    switch (state) {
    case LampState::Receiving:
        return IDB_LAMP_RECEIVING;
    case LampState::Received:
        return IDB_LAMP_RECEIVED;
    case LampState::Idle:
        break;
    }
    return IDB_LAMP_IDLE;
}

} // namespace

const MessageMap<CMainDlg> CMainDlg::messageMap{
    OnMessage(WM_PAINT, &CMainDlg::OnPaint),
    OnMessage(WM_SYSCOMMAND, &CMainDlg::OnSysCommand),
    OnMessage(WM_QUERYDRAGICON, &CMainDlg::OnQueryDragIcon),
    OnMessage(WM_TIMER, &CMainDlg::OnTimer),
    OnMessage(WM_DESTROY, &CMainDlg::OnDestroy),
    OnMessage(CDialog::DpiChangedMessage(), &CMainDlg::OnDpiChanged),
    OnMessage(CMainDlg::ByteCountQueryMessage(), &CMainDlg::OnByteCountQuery),
    OnMessage(kPrintsArrivedMessage, &CMainDlg::OnPrintsArrived),
    OnMessage(WM_QUERYENDSESSION, &CMainDlg::OnQueryEndSession),
    OnMessage(WM_ENDSESSION, &CMainDlg::OnEndSession),
    OnCommand(IDC_RECEIVE, &CMainDlg::OnReceive),
    OnCommand(IDC_SHOW, &CMainDlg::OnShow),
    OnCommand(IDC_SETTINGS, &CMainDlg::OnSettings),
    OnCommand(IDC_SAVE, &CMainDlg::OnSaveAs),
    OnCommand(IDM_COPY, &CMainDlg::OnCopy),
};

UINT CMainDlg::ByteCountQueryMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"KRT460.ByteCount");
    return message;
}

CMainDlg::CMainDlg() : CDialogImpl(IDD_MAIN), display_(*this), receiver_(*this) {}

BOOL CMainDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    notifyTarget_.store(Handle());

    wchar_t aboutText[64] = {};
    if (::LoadStringW(Instance(), IDS_ABOUTBOX, aboutText, 64) > 0) {
        wchar_t copyText[64] = {};
        ::LoadStringW(Instance(), IDS_COPY, copyText, 64);
        const HMENU systemMenu = ::GetSystemMenu(Handle(), FALSE);
        ::AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(systemMenu, MF_STRING, IDM_COPY, copyText);
        ::AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, aboutText);
    }
    SetIcons();

    display_.Create(Handle());
    CDialog::SetAccelerators(::LoadAcceleratorsW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME)),
                             Handle(), {display_.Handle()});
    picture_ = LoadPicture(IDB_SAMPLE_SCREEN, &image_.Description());

    LoadLampPicture(LampState::Idle);

    settingsFileName_ = kSettingsFileName;
    settings_ = CSettingsFile::LoadSettings(settingsFileName_);
    return TRUE;
}

void CMainDlg::OnPlaced() {
    // The display window opens beside this one, where it covers nothing of it, both inside the
    // work area of this window's monitor, at any DPI.
    RECT main{};
    ::GetWindowRect(Handle(), &main);
    RECT display{};
    ::GetWindowRect(display_.Handle(), &display);
    MONITORINFO monitor{sizeof monitor, {}, {}, 0};
    ::GetMonitorInfoW(::MonitorFromWindow(Handle(), MONITOR_DEFAULTTONEAREST), &monitor);
    const PairPlacement placed = PlaceSideBySide(
        monitor.rcWork, {main.right - main.left, main.bottom - main.top},
        {display.right - display.left, display.bottom - display.top}, 8 * PixelScale(Handle()));
    constexpr UINT kMoveOnly = SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE;
    ::SetWindowPos(Handle(), nullptr, placed.first.x, placed.first.y, 0, 0, kMoveOnly);
    ::SetWindowPos(display_.Handle(), nullptr, placed.second.x, placed.second.y, 0, 0, kMoveOnly);
    ::ShowWindow(display_.Handle(), SW_SHOW);
}

void CMainDlg::SetIcons() {
    // At this window's DPI, so that the title bar's and the taskbar's icons stay sharp.
    const int dpi = WindowDpi(Handle());
    UniqueIcon icon(LoadIconOfSize(IDR_MAINFRAME, MetricForDpi(SM_CXICON, dpi)));
    UniqueIcon smallIcon(LoadIconOfSize(IDR_MAINFRAME, MetricForDpi(SM_CXSMICON, dpi)));
    ::SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon.get()));
    ::SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon.get()));
    icon_ = std::move(icon); // the window no longer uses the previous ones
    smallIcon_ = std::move(smallIcon);
}

void CMainDlg::ShowMessage(const std::string& text) {
    ui::ShowMessage(Handle(), text.c_str());
}

void CMainDlg::SetLamp(LampState state) {
    LoadLampPicture(state);
    ::InvalidateRect(Handle(), nullptr, TRUE);
}

void CMainDlg::PrintReceived(Print print) {
    {
        const std::lock_guard lock(printsMutex_);
        prints_.push_back(std::move(print));
    }
    if (const HWND window = notifyTarget_.load()) {
        ::PostMessageW(window, kPrintsArrivedMessage, 0, 0);
    }
}

INT_PTR CMainDlg::OnPrintsArrived(WPARAM, LPARAM) {
    for (;;) {
        Print print;
        {
            const std::lock_guard lock(printsMutex_);
            if (prints_.empty()) {
                break;
            }
            print = std::move(prints_.front());
            prints_.pop_front();
        }
        // A late print of a capture that a later Empfangen replaced tells nothing.
        if (print.capture == receiver_.CaptureNumber()) {
            OnPrintArrived(print);
        }
    }
    return TRUE;
}

void CMainDlg::OnPrintArrived(const Print& print) {
    ShowCount();
    lineErrors_ = print.lineErrors;
    if (print.end == CaptureEnd::Complete && print.hasEndMarker) {
        SetLamp(LampState::Received);
    } else if (print.end == CaptureEnd::PortLost) {
        SetLamp(LampState::Idle);
        ShowMessage("Verbindung zu " + receiver_.PortName() + " unterbrochen!");
    }
}

void CMainDlg::LoadLampPicture(LampState state) {
    lampPicture_ = LoadPicture(PictureOf(state));
    lamp_ = state;
    BITMAP bitmap{};
    ::GetObjectA(lampPicture_.get(), sizeof bitmap, &bitmap);
    lampSize_ = {bitmap.bmWidth, bitmap.bmHeight};
}

INT_PTR CMainDlg::OnPaint(WPARAM, LPARAM) {
    const PaintDc dc(Handle());
    if (::IsIconic(Handle())) {
        PaintIconic(dc.get());
        return TRUE;
    }
    const UniqueMemoryDc memory(::CreateCompatibleDC(dc.get()));
    {
        const int scale = PixelScale(Handle());
        const SelectedObject selected(memory.get(), lampPicture_.get());
        BlitScaled(dc.get(), kLampPosition.x * scale, kLampPosition.y * scale, memory.get(),
                   lampSize_.cx, lampSize_.cy, scale);
    }
    PaintByteCount(dc.get());
    return TRUE;
}

void CMainDlg::PaintIconic(HDC dc) {
    ::SendMessageW(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    ::GetClientRect(Handle(), &client);
    const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, icon_.get());
}

RECT CMainDlg::ByteCountArea() const {
    // Between the lamp and the button column, above the Ende button.
    RECT column{};
    ::GetWindowRect(Item(IDC_SETTINGS), &column);
    RECT ende{};
    ::GetWindowRect(Item(IDOK), &ende);
    ::MapWindowPoints(nullptr, Handle(), reinterpret_cast<POINT*>(&column), 2);
    ::MapWindowPoints(nullptr, Handle(), reinterpret_cast<POINT*>(&ende), 2);
    const int scale = PixelScale(Handle());
    return {(kLampPosition.x + lampSize_.cx + 2) * scale, kLampPosition.y * scale,
            column.left - 2 * scale, ende.top - 2 * scale};
}

void CMainDlg::PaintByteCount(HDC dc) {
    if (!showByteCount_) {
        return;
    }
    shownByteCount_ = CCaptureBuffer::Instance().Count();
    char text[32];
    std::snprintf(text, sizeof text, "%u / %zu", shownByteCount_, kFrameLength);
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(Handle(), WM_GETFONT, 0, 0));
    const SelectedObject selected(dc, font);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    // Centred in the area; broken after the slash where the area is too narrow for one line.
    const RECT area = ByteCountArea();
    RECT measured = area;
    ::DrawTextA(dc, text, -1, &measured, DT_CENTER | DT_WORDBREAK | DT_CALCRECT);
    RECT target = area;
    target.top += (area.bottom - area.top - (measured.bottom - measured.top)) / 2;
    ::DrawTextA(dc, text, -1, &target, DT_CENTER | DT_WORDBREAK | DT_NOCLIP);
}

INT_PTR CMainDlg::OnTimer(WPARAM timer, LPARAM) {
    if (timer != kByteCountTimer) {
        return FALSE;
    }
    ShowCount();
    if (!receiver_.IsWorking()) {
        ::KillTimer(Handle(), kByteCountTimer);
    }
    return TRUE;
}

void CMainDlg::ShowCount() {
    if (CCaptureBuffer::Instance().Count() != shownByteCount_) {
        const RECT area = ByteCountArea();
        ::InvalidateRect(Handle(), &area, TRUE);
    }
}

INT_PTR CMainDlg::OnByteCountQuery(WPARAM, LPARAM) {
    const LRESULT count = showByteCount_ ? CCaptureBuffer::Instance().Count() : -1;
    ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, count);
    return TRUE;
}

INT_PTR CMainDlg::OnQueryEndSession(WPARAM, LPARAM) {
    // Nothing here needs the user before a log-off or shutdown: the session may end.
    ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, TRUE);
    return TRUE;
}

INT_PTR CMainDlg::OnEndSession(WPARAM ending, LPARAM) {
    // Windows ends the process once this returns, without closing the window. A file that
    // cannot be written is not told: a message box now would only hold up the log-off.
    if (ending) {
        StopAndSaveSettings();
    }
    ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, 0);
    return TRUE;
}

bool CMainDlg::StopAndSaveSettings() {
    // The capture stops first, so that no worker outlives the window's state.
    StopReceiving();
    return CSettingsFile::SaveSettings(settingsFileName_, settings_);
}

INT_PTR CMainDlg::OnSysCommand(WPARAM command, LPARAM) {
    switch (command & 0xFFF0) {
    case IDM_ABOUTBOX: {
        CAboutDlg about;
        about.DoModal(Handle());
        return TRUE;
    }
    case IDM_COPY:
        OnCopy();
        return TRUE;
    default:
        return FALSE;
    }
}

void CMainDlg::OnCopy() {
    // What the display window shows, the sample screen too.
    if (!CopyDibToClipboard(Handle(), ShownPictureDib(image_, decoded_, picture_.get()))) {
        ui::ShowMessage(Handle(), IDS_CLIPBOARD_BUSY);
    }
}

INT_PTR CMainDlg::OnDpiChanged(WPARAM, LPARAM) {
    // The dialog manager has scaled the window and its controls; the icons, the lamp and the
    // count follow the new DPI.
    SetIcons();
    ::InvalidateRect(Handle(), nullptr, TRUE);
    return TRUE;
}

INT_PTR CMainDlg::OnQueryDragIcon(WPARAM, LPARAM) {
    return reinterpret_cast<INT_PTR>(icon_.get());
}

INT_PTR CMainDlg::OnDestroy(WPARAM, LPARAM) {
    notifyTarget_.store(nullptr);
    ::KillTimer(Handle(), kByteCountTimer);
    return FALSE;
}

void CMainDlg::OnReceive() {
    bool restarting = false;
    if (receiver_.IsWorking()) {
        const unsigned count = CCaptureBuffer::Instance().Count();
        if (count > 0 && count < kFrameLength) {
            // A print is arriving: starting again would lose it, so only the user decides.
            if (!AskYesNo(Handle(), FormatText(IDS_RESTART_RECEIVING, count,
                                               static_cast<unsigned>(kFrameLength)))) {
                return;
            }
            receiver_.Stop(); // releases the port for the new capture
            restarting = true;
        } else if (count == 0 && SamePort(settings_.portName, receiver_.PortName())) {
            return; // already waiting on this port for the first byte
        }
    }
    const StartResult started = receiver_.StartReceive(settings_.portName);
    if (started.outcome == StartOutcome::Started) {
        lineErrors_ = {};
        SetLamp(LampState::Receiving);
    } else {
        ShowMessage(started.outcome == StartOutcome::OpenFailed
                        ? "Error: Open COM port!"
                        : "Empfang konnte nicht gestartet werden!");
        if (restarting) {
            SetLamp(LampState::Idle); // the capture that Ja stopped is over
        }
    }
    // The count shows from a Receive that has a worker reading until the next Receive.
    showByteCount_ = receiver_.IsWorking();
    if (showByteCount_) {
        ::SetTimer(Handle(), kByteCountTimer, kByteCountInterval, nullptr);
    }
    const RECT area = ByteCountArea();
    ::InvalidateRect(Handle(), &area, TRUE);
}

void CMainDlg::OnShow() {
    // A capture cut short is shown as far as it got, and says so; a whole one that cannot be
    // decoded says "Es ging nicht!".
    const unsigned count = CCaptureBuffer::Instance().Count();
    const bool parsed = image_.Decode(CCaptureBuffer::Instance(), settings_.border);
    if (const std::wstring message = DecodeOutcome(count, parsed, lineErrors_); !message.empty()) {
        ui::ShowMessage(Handle(), message);
    }
    decoded_ = true;
    picture_ = MakePicture(image_);
    const HWND display = display_.Handle();
    ::InvalidateRect(display, nullptr, TRUE);
    if (!::IsWindowVisible(display)) {
        ::ShowWindow(display, SW_SHOWNA); // hidden by Escape; shown again where it was
    }
    if (std::string error; !image_.SaveBitmapFile("Scp1.bmp", &error)) {
        ShowNotWritten(Handle(), "Scp1.bmp", error);
    }
    SetLamp(LampState::Idle);
}

std::wstring CMainDlg::DecodeOutcome(unsigned count, bool parsed, const LineErrors& errors) {
    std::wstring message;
    if (count > 0 && count < kFrameLength) {
        message = FormatText(IDS_INCOMPLETE, count, static_cast<unsigned>(kFrameLength));
    } else if (!parsed) {
        message = L"Es ging nicht!";
    }
    if (errors.Total() > 0) {
        message += (message.empty() ? L"" : L"\n") + FormatText(IDS_LINE_ERRORS, errors.Total());
    }
    return message;
}

void CMainDlg::OnSettings() {
    CSettingsDlg settings(settings_);
    settings.DoModal(Handle());
}

void CMainDlg::OnSaveAs() {
    // Before the first Anzeigen the window shows the sample screen, which is no picture of the
    // instrument's; saving the empty rows instead would surprise.
    if (!decoded_) {
        ShowMessage("Erst Anzeigen, dann Speichern!");
        return;
    }
    CBitmapsDlg bitmaps(image_);
    bitmaps.DoModal(Handle());
    SetLamp(LampState::Idle);
}

} // namespace krt460::ui
