#pragma once

#include "capture/serial_receiver.h"
#include "image/screen_image.h"
#include "settings/settings_file.h"
#include "ui/display_dlg.h"
#include "ui/framework/dialog.h"
#include "ui/framework/handles.h"
#include "ui/screen_picture.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <string>

namespace krt460::ui {

// The status lamp: yellow idle, green while a capture waits, red once a whole print with its
// end marker has arrived.
enum class LampState { Idle, Receiving, Received };

// The main window: five buttons and the status lamp. It owns the screen picture, the lamp, the
// settings, the display window and the receiver.
class CMainDlg : public CDialogImpl<CMainDlg>, public IReceiverOwner, public IPictureSource {
public:
    CMainDlg();
    static const MessageMap<CMainDlg> messageMap;

    // Asked with this registered message, the window returns the byte count it shows beside the
    // lamp, or -1 when it shows none (for test drivers and accessibility tools).
    static UINT ByteCountQueryMessage();
    // Asked with this one: while a series is armed, the prints it saved (low word) and those it
    // kept raw as unreadable (high word); -1 otherwise.
    static UINT SeriesQueryMessage();

    // Stops a capture that is still running; its worker then touches nothing of this window.
    void StopReceiving() { receiver_.Stop(); }

    // What the program does as it ends, however it ends (Ende, Escape, the close box, the end
    // of the session): the capture stops, then KRT460.ini is written. False when it could not be,
    // with the system's reason in `reason` when one is asked for.
    bool StopAndSaveSettings(std::string* reason = nullptr);

    // IPictureSource
    HBITMAP Picture() const override { return picture_.get(); }
    const PictureDescription& Description() const override { return image_.Description(); }

    // What Anzeigen tells of a decode: a capture cut short (shown as far as it got), a whole one
    // that cannot be decoded, line errors; empty when all is well.
    static std::wstring DecodeOutcome(unsigned count, bool parsed, const LineErrors& errors);

    // IReceiverOwner: from the worker; queued, and the window told by a posted message.
    void PrintReceived(Print print) override;

private:
    void ShowMessage(const std::string& text);
    void SetLamp(LampState state);
    BOOL OnInitDialog() override;
    void OnPlaced() override;
    void SetIcons();
    INT_PTR OnPaint(WPARAM, LPARAM);
    INT_PTR OnSysCommand(WPARAM command, LPARAM);
    INT_PTR OnQueryDragIcon(WPARAM, LPARAM);
    INT_PTR OnTimer(WPARAM timer, LPARAM);
    INT_PTR OnDestroy(WPARAM, LPARAM);
    INT_PTR OnDpiChanged(WPARAM, LPARAM);
    INT_PTR OnByteCountQuery(WPARAM, LPARAM);
    INT_PTR OnSeriesQuery(WPARAM, LPARAM);
    INT_PTR OnPrintsArrived(WPARAM, LPARAM);
    void OnPrintArrived(const Print& print);
    INT_PTR OnQueryEndSession(WPARAM, LPARAM);
    INT_PTR OnEndSession(WPARAM ending, LPARAM);
    void OnReceive();
    void OnShow();
    void OnSettings();
    void OnSaveAs();
    void OnCopy();

    // Shows the decoded picture and writes Scp1.bmp, as Anzeigen does; false with `error` when
    // Scp1.bmp could not be written.
    bool ShowPicture(std::string& error);
    void SetLampAfterShow();

    // "Jeden Ausdruck speichern": every print saved as it arrives, until Anhalten. Ending a
    // series keeps what it received; a file that failed is told once.
    void EndSeries(const std::string& failedFile = {}, const std::string& error = {});
    void RestartSeries();
    void OnSeriesPrint(const Print& print);
    // Keeps one print of the series; false with the file that could not be written.
    bool KeepSeriesPrint(const Print& print, std::string& failedFile, std::string& error);

    std::wstring StatusText() const;
    void ShowCount();
    void LoadLampPicture(LampState state);
    void PaintIconic(HDC dc);
    void PaintByteCount(HDC dc);
    RECT ByteCountArea() const;

    std::string settingsFileName_;
    Settings settings_;
    CScreenImage image_;
    UniqueBitmap picture_;
    LampState lamp_ = LampState::Idle;
    UniqueBitmap lampPicture_;
    SIZE lampSize_{};
    UniqueIcon icon_;
    UniqueIcon smallIcon_;
    CDisplayDlg display_;
    bool showByteCount_ = false;
    bool decoded_ = false; // an Anzeigen has made the picture that Speichern saves
    std::wstring shownStatus_;
    struct Series {
        bool armed = false;
        bool portGone = false; // the adapter was pulled out: waiting for it to come back
        unsigned saved = 0;
        unsigned unreadable = 0;
        std::string port; // as armed: a port chosen meanwhile applies from the next arming
    } series_;
    bool endingSeries_ = false;
    LineErrors lineErrors_; // of the capture whose bytes Anzeigen shows
    // What the worker handed over, until the window takes it; and the window it tells, cleared
    // when the window goes.
    std::mutex printsMutex_;
    std::deque<Print> prints_;
    std::atomic<HWND> notifyTarget_{nullptr};
    // Last, so that it goes first: its worker is stopped while everything it uses still exists.
    CSerialReceiver receiver_;
};

} // namespace krt460::ui
