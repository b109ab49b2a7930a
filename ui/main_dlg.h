#pragma once

#include "capture/serial_receiver.h"
#include "image/screen_image.h"
#include "keep/series.h"
#include "settings/settings_file.h"
#include "ui/display_dlg.h"
#include "ui/framework/dialog.h"
#include "ui/framework/handles.h"
#include "ui/screen_picture.h"
#include "ui/status_lamp.h"
#include "ui/status_text.h"

#include <atomic>
#include <optional>
#include <string>

namespace krt460::ui {

// The main window: five buttons and the status lamp. It owns the screen picture, the lamp, the
// settings, the display window and the receiver.
class CMainDlg : public CDialogImpl<CMainDlg>, public IPictureSource {
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
    static std::wstring TellAfterShow(std::size_t count, const LineErrors& errors) {
        return AfterShowText(count, errors);
    }

private:
    static constexpr UINT_PTR kByteCountTimer = 1;
    static constexpr UINT_PTR kScp1Timer = 2;
    // Posted by a receive worker: prints, or a series' outcomes, wait.
    static constexpr UINT kPrintsArrivedMessage = WM_APP + 1;

    void ShowMessage(const std::string& text);
    void SetLamp(LampState state);
    BOOL OnInitDialog() override;
    void OnPlaced() override;
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
    void PostPrintsArrived();
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

    // "Jeden Ausdruck speichern": every print kept by the series as it arrives, until
    // Anhalten. Ending a series keeps what it received; a print that could not be written ends
    // it, told once (unless `silent`).
    StartResult StartSeries(bool skipRestOfPrint);
    void EndSeries(bool silent = false);
    void TakeSeriesOutcomes();
    void OnSeriesOutcome(const SeriesOutcome& outcome);
    void OnSeriesEnded(const SeriesOutcome& ended);
    // Scp1.bmp is a convenience copy: one that another program holds open is replaced by a
    // timer a few times, never by waiting; the series goes on either way.
    void ReplaceScp1();
    void OnScp1Retry();

    std::size_t BytesShown() const;
    std::wstring StatusText() const;
    void ShowCount();
    RECT ByteCountArea() const;

    std::string settingsFileName_;
    Settings settings_;
    CScreenImage image_;
    UniqueBitmap picture_;
    CStatusLamp lamp_;
    UniqueIcon icon_;
    UniqueIcon smallIcon_;
    CDisplayDlg display_;
    bool showByteCount_ = false;
    bool decoded_ = false; // an Anzeigen has made the picture that Speichern saves
    std::wstring shownStatus_;
    // The last print that finished, as it came: what Anzeigen shows when no capture has bytes.
    std::optional<Print> lastPrint_;
    // While a series is armed: what the window shows of it, and the Scp1.bmp replace under way.
    SeriesStatus seriesStatus_;
    int scp1Tries_ = 0;
    bool endSilently_ = false; // a log-off ends the series: nobody reads a box
    // The window a worker tells that prints or outcomes wait (a posted message), cleared when
    // the window goes; and what the single capture's worker handed over, until the window
    // takes it.
    std::atomic<HWND> notifyTarget_{nullptr};
    PrintQueue prints_;
    // The series while one is armed; after what its worker tells, so that it goes first.
    std::optional<CSeries> series_;
    // Last, so that it goes first: its worker is stopped while everything it uses still exists.
    CSerialReceiver receiver_;
};

} // namespace krt460::ui
