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
#include <filesystem>
#include <utility>

namespace krt460::ui {
namespace {

// ms: four updates a second while a capture runs. Each is a repaint, which under Wine costs its
// server work too; more would cost more than the whole receiving.
constexpr UINT kByteCountInterval = 250;

} // namespace

const MessageMap<CMainDlg> CMainDlg::messageMap{
    OnMessage(WM_PAINT, &CMainDlg::OnPaint),
    OnMessage(WM_SYSCOMMAND, &CMainDlg::OnSysCommand),
    OnMessage(WM_QUERYDRAGICON, &CMainDlg::OnQueryDragIcon),
    OnMessage(WM_TIMER, &CMainDlg::OnTimer),
    OnMessage(WM_DESTROY, &CMainDlg::OnDestroy),
    OnMessage(CDialog::DpiChangedMessage(), &CMainDlg::OnDpiChanged),
    OnMessage(CMainDlg::ByteCountQueryMessage(), &CMainDlg::OnByteCountQuery),
    OnMessage(CMainDlg::SeriesQueryMessage(), &CMainDlg::OnSeriesQuery),
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

CMainDlg::CMainDlg()
    : CDialogImpl(IDD_MAIN), display_(*this), prints_([this] { PostPrintsArrived(); }),
      receiver_(prints_) {}

void CMainDlg::PostPrintsArrived() {
    if (const HWND window = notifyTarget_.load()) {
        ::PostMessageW(window, kPrintsArrivedMessage, 0, 0);
    }
}

BOOL CMainDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    notifyTarget_.store(Handle());

    if (const std::wstring about = LoadText(IDS_ABOUTBOX); !about.empty()) {
        const HMENU systemMenu = ::GetSystemMenu(Handle(), FALSE);
        ::AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(systemMenu, MF_STRING, IDM_COPY, LoadText(IDS_COPY).c_str());
        ::AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
    SetWindowIcons(Handle(), IDR_MAINFRAME, icon_, smallIcon_);

    display_.Create(Handle());
    CDialog::SetAccelerators(::LoadAcceleratorsW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME)),
                             Handle(), {display_.Handle()});
    picture_ = LoadPicture(IDB_SAMPLE_SCREEN, &image_.Description());

    lamp_.Load(LampState::Idle);

    settingsFileName_ = kSettingsFileName;
    settings_ = CSettingsFile::LoadSettings(settingsFileName_);
    return TRUE;
}

void CMainDlg::OnPlaced() {
    // The display window opens beside this one, where it covers nothing of it.
    PlaceWindowsSideBySide(Handle(), display_.Handle());
}

void CMainDlg::ShowMessage(const std::string& text) {
    ui::ShowMessage(Handle(), text.c_str());
}

void CMainDlg::SetLamp(LampState state) {
    lamp_.Load(state);
    ::InvalidateRect(Handle(), nullptr, TRUE);
}

INT_PTR CMainDlg::OnPrintsArrived(WPARAM, LPARAM) {
    while (std::optional<Print> print = prints_.Wait(std::chrono::milliseconds(0))) {
        // A late print of a capture that a later Empfangen replaced tells nothing.
        if (print->capture == receiver_.CaptureNumber()) {
            OnPrintArrived(*print);
        }
    }
    TakeSeriesOutcomes();
    return TRUE;
}

void CMainDlg::OnPrintArrived(const Print& print) {
    ShowCount();
    if (!print.bytes.empty()) {
        lastPrint_ = print;
    }
    if (print.end == CaptureEnd::Complete && print.hasEndMarker) {
        SetLamp(LampState::Received);
    } else if (print.end == CaptureEnd::PortLost) {
        SetLamp(LampState::Idle);
        ShowMessage("Verbindung zu " + receiver_.PortName() + " unterbrochen!");
    }
}

INT_PTR CMainDlg::OnPaint(WPARAM, LPARAM) {
    const PaintDc dc(Handle());
    if (::IsIconic(Handle())) {
        ::SendMessageW(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.get()), 0);
        RECT client{};
        ::GetClientRect(Handle(), &client);
        ::DrawIcon(dc.get(), (client.right - ::GetSystemMetrics(SM_CXICON) + 1) / 2,
                   (client.bottom - ::GetSystemMetrics(SM_CYICON) + 1) / 2, icon_.get());
        return TRUE;
    }
    lamp_.Paint(dc.get(), PixelScale(Handle()));
    if (showByteCount_) {
        shownStatus_ = StatusText();
        DrawStatusText(dc.get(), Handle(), ByteCountArea(), shownStatus_);
    }
    return TRUE;
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
    const POINT lamp = CStatusLamp::kPosition;
    return {(lamp.x + lamp_.Size().cx + 2) * scale, lamp.y * scale, column.left - 2 * scale,
            ende.top - 2 * scale};
}

std::size_t CMainDlg::BytesShown() const {
    if (series_) {
        return series_->BytesOfCurrentPrint();
    }
    return receiver_.IsWorking() ? receiver_.BytesOfCurrentPrint()
                                 : CCaptureBuffer::Instance().Count();
}

std::wstring CMainDlg::StatusText() const {
    return ui::StatusText(BytesShown(), series_ ? &seriesStatus_ : nullptr);
}

INT_PTR CMainDlg::OnTimer(WPARAM timer, LPARAM) {
    if (timer == kScp1Timer) {
        OnScp1Retry();
        return TRUE;
    }
    if (timer != kByteCountTimer) {
        return FALSE;
    }
    TakeSeriesOutcomes(); // the port coming back is seen here
    // Red tells that a print was saved, until the next one begins.
    if (series_ && lamp_.State() == LampState::Received && series_->BytesOfCurrentPrint() > 0) {
        SetLamp(LampState::Receiving);
    }
    ShowCount();
    if (!receiver_.IsWorking() && !series_) {
        ::KillTimer(Handle(), kByteCountTimer);
    }
    return TRUE;
}

void CMainDlg::ShowCount() {
    if (StatusText() != shownStatus_) {
        const RECT area = ByteCountArea();
        ::InvalidateRect(Handle(), &area, TRUE);
    }
}

INT_PTR CMainDlg::OnByteCountQuery(WPARAM, LPARAM) {
    ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT,
                        showByteCount_ ? static_cast<LRESULT>(BytesShown()) : -1);
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
        StopAndSaveSettings(nullptr, true);
    }
    ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, 0);
    return TRUE;
}

bool CMainDlg::StopAndSaveSettings(std::string* reason, bool silent) {
    // The capture stops first, so that no worker outlives the window's state; a series keeps
    // what it has received.
    EndSeries(silent);
    StopReceiving();
    return CSettingsFile::SaveSettings(settingsFileName_, settings_, reason);
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
    SetWindowIcons(Handle(), IDR_MAINFRAME, icon_, smallIcon_);
    ::InvalidateRect(Handle(), nullptr, TRUE);
    return TRUE;
}

INT_PTR CMainDlg::OnQueryDragIcon(WPARAM, LPARAM) {
    return reinterpret_cast<INT_PTR>(icon_.get());
}

INT_PTR CMainDlg::OnDestroy(WPARAM, LPARAM) {
    EndSeries(); // Ende while armed: what the series received is kept before the window goes
    notifyTarget_.store(nullptr);
    ::KillTimer(Handle(), kByteCountTimer);
    ::KillTimer(Handle(), kScp1Timer);
    return FALSE;
}

void CMainDlg::OnReceive() {
    if (series_) {
        EndSeries(); // the button reads "Anhalten"
        return;
    }
    const bool series = settings_.saveEveryPrint;
    bool restarting = false;
    bool skipRestOfPrint = false;
    if (receiver_.IsWorking()) {
        const unsigned count = CCaptureBuffer::Instance().Count();
        if (count > 0 && count < kFrameLength) {
            // A print is arriving: starting again would lose it, so only the user decides.
            if (!AskYesNo(Handle(), FormatText(IDS_RESTART_RECEIVING, count,
                                               static_cast<unsigned>(kFrameLength))) ||
                CCaptureBuffer::Instance().Count() == kFrameLength) {
                return; // Nein, or the print completed while the question was open: it stays
            }
            receiver_.Stop(); // releases the port for the new capture
            // What arrived of the print cut off is the last print now, shown by Anzeigen.
            OnPrintsArrived(0, 0);
            // The instrument may still be sending that print: the new capture skips its rest
            // and takes the first whole print that follows.
            skipRestOfPrint = SamePort(settings_.portName, receiver_.PortName());
            restarting = true;
        } else if (count == 0 && SamePort(settings_.portName, receiver_.PortName())) {
            if (!series) {
                return; // already waiting on this port for the first byte
            }
            receiver_.Stop(); // the series takes the port over
            restarting = true;
        }
    }
    OnPrintsArrived(0, 0); // a print that has just ended is the last print, before it is late
    CaptureOptions options;
    options.skipRestOfPrint = skipRestOfPrint;
    const StartResult started =
        series ? StartSeries(skipRestOfPrint) : receiver_.StartReceive(settings_.portName, options);
    if (started.outcome == StartOutcome::Started) {
        SetLamp(LampState::Receiving);
    } else {
        ShowMessage(started.outcome == StartOutcome::OpenFailed
                        ? "Error: Open COM port!"
                        : "Empfang konnte nicht gestartet werden!");
        if (restarting) {
            SetLamp(LampState::Idle); // the capture stopped for this one is over
        }
    }
    // The count shows from a Receive that has a worker reading until the next Receive.
    showByteCount_ = series_ || receiver_.IsWorking();
    if (showByteCount_) {
        ::SetTimer(Handle(), kByteCountTimer, kByteCountInterval, nullptr);
    }
    const RECT area = ByteCountArea();
    ::InvalidateRect(Handle(), &area, TRUE);
}

bool CMainDlg::ShowPicture(std::string& error, bool* heldOpen) {
    decoded_ = true;
    picture_ = MakePicture(image_);
    const HWND display = display_.Handle();
    ::InvalidateRect(display, nullptr, TRUE);
    if (!::IsWindowVisible(display)) {
        ::ShowWindow(display, SW_SHOWNA); // hidden by Escape; shown again where it was
    }
    error.clear();
    return image_.SaveBitmapFile("Scp1.bmp", &error, heldOpen);
}

void CMainDlg::SetLampAfterShow() {
    // Yellow: what arrived has been looked at; an armed series goes on waiting, green.
    SetLamp(series_ && !seriesStatus_.portGone ? LampState::Receiving : LampState::Idle);
}

void CMainDlg::OnShow() {
    // The running capture's bytes while it has some, else the last print as it came: never the
    // buffer's leftovers of an earlier print. A series shows its last print. Before any print,
    // the empty buffer.
    OnPrintsArrived(0, 0); // a print that has just ended is the last print, not one before it
    std::vector<std::uint8_t> bytes;
    LineErrors errors;
    std::size_t count = 0;
    const CaptureBytes running = CCaptureBuffer::Instance().BytesOfThisCapture(&count);
    if (!series_ && receiver_.IsWorking() && count > 0) {
        bytes.assign(running.begin(), running.begin() + static_cast<std::ptrdiff_t>(count));
        // While a capture runs, its line errors so far: a wrong baud rate never completes it.
        errors = receiver_.LineErrorsOfCurrentPrint();
    } else if (lastPrint_) {
        bytes = lastPrint_->bytes;
        errors = lastPrint_->lineErrors;
    }
    const bool cutShort = !bytes.empty() && bytes.size() < kFrameLength;
    // A whole print that cannot be decoded is told before its picture is made; a print cut
    // short shows as far as it got, and says so once it is shown.
    if (!image_.Decode(bytes, settings_.border) && !cutShort) {
        ShowMessage("Es ging nicht!");
    }
    std::string error;
    ShowPicture(error);
    if (series_ && error.empty()) {
        seriesStatus_.scp1Stale = false;
    }
    if (const std::wstring message = TellAfterShow(bytes.size(), errors); !message.empty()) {
        ui::ShowMessage(Handle(), message);
    }
    if (!error.empty()) {
        ShowNotWritten(Handle(), "Scp1.bmp", error);
    }
    SetLampAfterShow();
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
    // The picture shown now, even if a print of a series arrives while the dialog is open.
    const CScreenImage shown = image_;
    CBitmapsDlg bitmaps(shown);
    bitmaps.DoModal(Handle());
    SetLampAfterShow();
}

} // namespace krt460::ui
