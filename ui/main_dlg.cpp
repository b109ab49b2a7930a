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

constexpr UINT_PTR kByteCountTimer = 1;
constexpr UINT_PTR kScp1Timer = 2;
// A Scp1.bmp held open by another program is tried again ten times, 200 ms apart.
constexpr UINT kScp1RetryInterval = 200;
constexpr int kScp1Tries = 10;
// Print after print; one that stops arriving for 10 s is kept as it is; an adapter pulled out
// is waited for.
CaptureOptions SeriesOptions() {
    CaptureOptions options;
    options.mode = ReceiveMode::EveryPrint;
    options.stallTimeout = std::chrono::seconds(10);
    options.reconnect = true;
    return options;
}
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

UINT CMainDlg::SeriesQueryMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"KRT460.Series");
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
    if (series_.armed) {
        OnSeriesPrint(print);
        return;
    }
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

std::wstring CMainDlg::StatusText() const {
    // A series may hold bytes beyond a print's length (stray ones before it) for a moment.
    const std::size_t count =
        std::min(series_.armed || receiver_.IsWorking() ? receiver_.BytesOfCurrentPrint()
                                                        : CCaptureBuffer::Instance().Count(),
                 kFrameLength);
    wchar_t line[48];
    std::swprintf(line, std::size(line), L"%zu / %zu", count, kFrameLength);
    std::wstring text = line;
    if (!series_.armed) {
        return text;
    }
    if (series_.portGone) {
        const std::string& port = series_.port;
        text = std::wstring(port.begin(), port.end()) + L" " + LoadText(IDS_PORT_GONE);
    }
    const CCaptureKeeper::Counts& counts = keeper_->Counted();
    std::swprintf(line, std::size(line), L"\n%u gespeichert", counts.pictures);
    text += line;
    if (counts.partial > 0) {
        text += L"\n" + FormatText(IDS_SERIES_PARTIAL, counts.partial);
    }
    if (counts.unreadable > 0) {
        std::swprintf(line, std::size(line), L"\n%u unlesbar", counts.unreadable);
        text += line;
    }
    if (series_.scp1Stale) {
        text += L"\nScp1.bmp nicht aktuell";
    }
    return text;
}

void CMainDlg::PaintByteCount(HDC dc) {
    if (!showByteCount_) {
        return;
    }
    shownStatus_ = StatusText();
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(Handle(), WM_GETFONT, 0, 0));
    const SelectedObject selected(dc, font);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    // Centred in the area; broken between words where the area is too narrow for a line.
    const RECT area = ByteCountArea();
    RECT measured = area;
    ::DrawTextW(dc, shownStatus_.c_str(), -1, &measured, DT_CENTER | DT_WORDBREAK | DT_CALCRECT);
    RECT target = area;
    target.top += (area.bottom - area.top - (measured.bottom - measured.top)) / 2;
    ::DrawTextW(dc, shownStatus_.c_str(), -1, &target, DT_CENTER | DT_WORDBREAK | DT_NOCLIP);
}

INT_PTR CMainDlg::OnTimer(WPARAM timer, LPARAM) {
    if (timer == kScp1Timer) {
        OnScp1Retry();
        return TRUE;
    }
    if (timer != kByteCountTimer) {
        return FALSE;
    }
    if (series_.armed) {
        FollowSeriesPort();
    }
    // Red tells that a print was saved, until the next one begins.
    if (series_.armed && lamp_ == LampState::Received && receiver_.BytesOfCurrentPrint() > 0) {
        SetLamp(LampState::Receiving);
    }
    ShowCount();
    if (!receiver_.IsWorking() && !series_.armed) {
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
    LRESULT count = -1;
    if (showByteCount_) {
        count = static_cast<LRESULT>(series_.armed || receiver_.IsWorking()
                                         ? receiver_.BytesOfCurrentPrint()
                                         : CCaptureBuffer::Instance().Count());
    }
    ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, count);
    return TRUE;
}

INT_PTR CMainDlg::OnSeriesQuery(WPARAM, LPARAM) {
    LRESULT counts = -1;
    if (series_.armed) {
        const CCaptureKeeper::Counts& kept = keeper_->Counted();
        counts = static_cast<LRESULT>(kept.pictures & 0xFFFFu) |
                 static_cast<LRESULT>(kept.unreadable & 0xFFFFu) << 16 |
                 static_cast<LRESULT>(kept.partial & 0xFFFFu) << 32 |
                 static_cast<LRESULT>(series_.scp1Stale ? 1 : 0) << 48;
    }
    ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, counts);
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
    SetIcons();
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
    if (series_.armed) {
        EndSeries(); // the button reads "Anhalten"
        return;
    }
    const bool series = settings_.saveEveryPrint;
    bool restarting = false;
    CaptureOptions options = series ? SeriesOptions() : CaptureOptions{};
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
            options.skipRestOfPrint = SamePort(settings_.portName, receiver_.PortName());
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
    const StartResult started = receiver_.StartReceive(settings_.portName, options);
    if (started.outcome == StartOutcome::Started) {
        SetLamp(LampState::Receiving);
        if (series) {
            series_ = Series{};
            series_.armed = true;
            series_.port = settings_.portName;
            KeeperOptions keeping;
            keeping.prefix = "Scp_";
            keeping.port = settings_.portName;
            keeping.border = settings_.border;
            keeping.rawBesidePicture = false;
            keeper_.emplace(std::move(keeping));
            ::SetDlgItemTextW(Handle(), IDC_RECEIVE, L"Anhalten");
        }
    } else {
        ShowMessage(started.outcome == StartOutcome::OpenFailed
                        ? "Error: Open COM port!"
                        : "Empfang konnte nicht gestartet werden!");
        if (restarting) {
            SetLamp(LampState::Idle); // the capture stopped for this one is over
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

void CMainDlg::EndSeries(bool silent) {
    if (!series_.armed || endingSeries_) {
        return; // already ending: the first failure is the one told
    }
    endingSeries_ = true;
    receiver_.Stop();
    OnPrintsArrived(0, 0); // what came meanwhile, and a print cut off, is kept as ever
    endingSeries_ = false;
    series_.armed = false;
    keeper_.reset();
    ::KillTimer(Handle(), kScp1Timer);
    ::SetDlgItemTextW(Handle(), IDC_RECEIVE, L"Empfangen");
    SetLamp(LampState::Idle);
    if (const std::optional<Kept> failed = std::exchange(seriesFailure_, std::nullopt);
        failed && !silent) {
        // At a log-off nobody reads it: the bytes are in the temporary folder all the same.
        const std::string name = std::filesystem::path(failed->file).filename().string();
        ShowNotWritten(Handle(), name,
                       failed->error + (failed->rescued.empty()
                                            ? ""
                                            : "\nDie empfangenen Bytes sind in " + failed->rescued +
                                                  " gesichert."));
    }
}

void CMainDlg::FollowSeriesPort() {
    // The worker looks for a lost port; the window only says so.
    const bool gone = !receiver_.PortPresent();
    if (gone != series_.portGone) {
        series_.portGone = gone;
        SetLamp(gone ? LampState::Idle : LampState::Receiving);
        ShowCount();
    }
}

void CMainDlg::OnSeriesPrint(const Print& print) {
    // Nobody may be at the PC: what cannot be shown is counted, never put in a box. A print
    // that cannot be written ends the series, told once.
    Kept kept = keeper_->Keep(print);
    switch (kept.as) {
    case KeptAs::Nothing:
    case KeptAs::Stray:
        break;
    case KeptAs::Picture:
        lastPrint_ = print;
        image_ = kept.image;
        ReplaceScp1();
        SetLamp(LampState::Received);
        break;
    case KeptAs::Raw:
    case KeptAs::Partial:
        lastPrint_ = print;
        break;
    case KeptAs::Held: // never: the series holds nothing (options.hold)
    case KeptAs::NotWritten:
        lastPrint_ = print;
        if (!seriesFailure_) {
            seriesFailure_ = std::move(kept);
        }
        EndSeries();
        return;
    }
    if (print.end == CaptureEnd::PortLost) {
        FollowSeriesPort();
    }
    ShowCount();
}

void CMainDlg::ReplaceScp1() {
    std::string error;
    bool heldOpen = false;
    ::KillTimer(Handle(), kScp1Timer);
    if (ShowPicture(error, &heldOpen)) {
        series_.scp1Stale = false;
        return;
    }
    series_.scp1Stale = true;
    if (heldOpen) {
        series_.scp1Tries = 0;
        ::SetTimer(Handle(), kScp1Timer, kScp1RetryInterval, nullptr);
    }
}

void CMainDlg::OnScp1Retry() {
    bool heldOpen = false;
    std::string error;
    if (image_.SaveBitmapFile("Scp1.bmp", &error, &heldOpen)) {
        series_.scp1Stale = false;
    } else if (heldOpen && ++series_.scp1Tries < kScp1Tries) {
        return; // the timer tries again
    }
    // Replaced, or it stays as it is until the next print replaces it.
    ::KillTimer(Handle(), kScp1Timer);
    ShowCount();
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
    SetLamp(series_.armed && !series_.portGone ? LampState::Receiving : LampState::Idle);
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
    if (!series_.armed && receiver_.IsWorking() && count > 0) {
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
    if (series_.armed && error.empty()) {
        series_.scp1Stale = false;
    }
    if (const std::wstring message = TellAfterShow(bytes.size(), errors); !message.empty()) {
        ui::ShowMessage(Handle(), message);
    }
    if (!error.empty()) {
        ShowNotWritten(Handle(), "Scp1.bmp", error);
    }
    SetLampAfterShow();
}

std::wstring CMainDlg::TellAfterShow(std::size_t count, const LineErrors& errors) {
    std::wstring message;
    if (count > 0 && count < kFrameLength) {
        message = FormatText(IDS_INCOMPLETE, static_cast<unsigned>(count),
                             static_cast<unsigned>(kFrameLength));
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
    // The picture shown now, even if a print of a series arrives while the dialog is open.
    const CScreenImage shown = image_;
    CBitmapsDlg bitmaps(shown);
    bitmaps.DoModal(Handle());
    SetLampAfterShow();
}

} // namespace krt460::ui
