#pragma once

#include "capture/serial_receiver.h"
#include "image/screen_image.h"
#include "keep/capture_keeper.h"
#include "settings/settings_file.h"
#include "ui/display_dlg.h"
#include "ui/framework/dialog.h"
#include "ui/framework/handles.h"
#include "ui/screen_picture.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
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
    // Asked with this one: while a series is armed, the prints it saved (bits 0-15), kept raw as
    // unreadable (16-31) and kept cut short (32-47), and bit 48 while Scp1.bmp is not up to
    // date; -1 otherwise.
    static UINT SeriesQueryMessage();

    // Stops a capture that is still running; its worker then touches nothing of this window.
    void StopReceiving() { receiver_.Stop(); }

    // What the program does as it ends, however it ends (Ende, Escape, the close box, the end
    // of the session): the capture stops, then KRT460.ini is written. False when it could not be,
    // with the system's reason in `reason` when one is asked for. `silent`: nobody is left to
    // read a message (a log-off).
    bool StopAndSaveSettings(std::string* reason = nullptr, bool silent = false);

    // IPictureSource
    HBITMAP Picture() const override { return picture_.get(); }
    const PictureDescription& Description() const override { return image_.Description(); }

    // What Anzeigen tells once the picture is shown: a capture cut short (shown as far as it
    // got), line errors; empty when all is well. ("Es ging nicht!" comes before the picture.)
    static std::wstring TellAfterShow(std::size_t count, const LineErrors& errors);

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
    void FollowSeriesPort();
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
    // Scp1.bmp could not be written, `heldOpen` when another program held it open.
    bool ShowPicture(std::string& error, bool* heldOpen = nullptr);
    void SetLampAfterShow();

    // "Jeden Ausdruck speichern": every print kept by the series keeper as it arrives, until
    // Anhalten. Ending a series keeps what it received; a print that could not be written ends
    // it, told once (unless `silent`).
    void EndSeries(bool silent = false);
    void OnSeriesPrint(const Print& print);
    // Scp1.bmp is a convenience copy: one that another program holds open is replaced by a
    // timer a few times, never by waiting; the series goes on either way.
    void ReplaceScp1();
    void OnScp1Retry();

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
    // The last print that finished, as it came: what Anzeigen shows when no capture has bytes.
    std::optional<Print> lastPrint_;
    struct Series {
        bool armed = false;
        bool portGone = false;  // the adapter was pulled out: the worker waits for it
        bool scp1Stale = false; // Scp1.bmp shows an earlier print
        std::string port;       // as armed: a port chosen meanwhile applies from the next
        int scp1Tries = 0;      // of the replace under way
    } series_;
    std::optional<CCaptureKeeper> keeper_; // while a series is armed
    std::optional<Kept> seriesFailure_;    // the print that ended the series, to be told
    bool endingSeries_ = false;
    // What the worker handed over, until the window takes it; and the window it tells, cleared
    // when the window goes.
    std::mutex printsMutex_;
    std::deque<Print> prints_;
    std::atomic<HWND> notifyTarget_{nullptr};
    // Last, so that it goes first: its worker is stopped while everything it uses still exists.
    CSerialReceiver receiver_;
};

} // namespace krt460::ui
