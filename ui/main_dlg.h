#pragma once

#include "capture/serial_receiver.h"
#include "image/screen_image.h"
#include "settings/settings_file.h"
#include "ui/display_dlg.h"
#include "ui/framework/dialog.h"
#include "ui/framework/handles.h"
#include "ui/screen_picture.h"

#include <atomic>
#include <string>

namespace krt460::ui {

// The main window: five buttons and the status lamp. It owns the screen picture, the lamp, the
// settings, the display window and the receiver.
class CMainDlg : public CDialogImpl<CMainDlg>, public IReceiverOwner, public IPictureSource {
public:
    CMainDlg();
    static const MessageMap<CMainDlg> messageMap;

    // Asked with this registered message, the window returns the byte count it shows beside the
    // lamp, or -1 when it shows none (for test drivers and accessibility tools).
    static UINT ByteCountQueryMessage();

    // Stops a capture that is still running; its worker then touches nothing of this window.
    void StopReceiving() { receiver_.Stop(); }

    // What the program does as it ends, however it ends (Ende, Escape, the close box, the end
    // of the session): the capture stops, then KRT460.ini is written. False when it could not be.
    bool StopAndSaveSettings();

    // IPictureSource
    HBITMAP Picture() const override { return picture_.get(); }
    const PictureDescription& Description() const override { return image_.Description(); }

    // IReceiverOwner
    void SetLamp(LampState state) override;
    void StoreLampAndRepaint(LampState state) override;

private:
    void ShowMessage(const std::string& text);
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
    INT_PTR OnQueryEndSession(WPARAM, LPARAM);
    INT_PTR OnEndSession(WPARAM ending, LPARAM);
    void OnReceive();
    void OnShow();
    void OnSettings();
    void OnSaveAs();
    void OnCopy();

    void LoadLampPicture(LampState state);
    void PaintIconic(HDC dc);
    void PaintByteCount(HDC dc);
    RECT ByteCountArea() const;

    std::string settingsFileName_;
    Settings settings_;
    CScreenImage image_;
    UniqueBitmap picture_;
    std::atomic<LampState> lampState_{LampState::Idle};
    LampState loadedLamp_ = LampState::Idle;
    UniqueBitmap lampPicture_;
    SIZE lampSize_{};
    UniqueIcon icon_;
    UniqueIcon smallIcon_;
    CDisplayDlg display_;
    bool showByteCount_ = false;
    bool decoded_ = false;      // an Anzeigen has made the picture that Speichern saves
    std::string receivingPort_; // the port of the running capture, for its messages
    unsigned shownByteCount_ = 0;
    // The window the worker may ask to repaint; cleared when the window goes.
    std::atomic<HWND> repaintTarget_{nullptr};
    // Last, so that it goes first: its worker is stopped while everything it uses still exists.
    CSerialReceiver receiver_;
};

} // namespace krt460::ui
