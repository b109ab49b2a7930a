#pragma once

#include "ui/framework/message_map.h"

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace krt460::ui {

// A dialog made from a template in the executable's resources, run modally or modeless. The
// dialog procedure finds the object through DWLP_USER, set at WM_INITDIALOG, and hands every
// message to the class's message map; what the map leaves falls to the dialog defaults, where
// OK and Cancel (Enter, Escape, the close box) end the dialog.
//
// A modal run has a message loop of its own, which gives every dialog of the program (the
// modeless display window too) the dialog keyboard: Tab, Enter and Escape go through
// IsDialogMessage for the dialog the message is for, whichever dialog runs modally.
class CDialog {
public:
    explicit CDialog(UINT templateId) : templateId_(templateId) {}
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog modally, centred over the owner (or the screen); returns how it ended.
    INT_PTR DoModal(HWND owner);
    // Creates the dialog modeless; it is shown when its template says so.
    bool Create(HWND owner);

    HWND Handle() const { return window_; }
    HWND Item(int id) const { return ::GetDlgItem(window_, id); }
    // The whole text of a control.
    std::string ItemText(int id) const;

    // Ends a modal run; a modeless dialog is hidden, not destroyed.
    void EndDialog(INT_PTR result);

    // Hands a queued keyboard message to the dialog of the program it is for; true when that
    // dialog took it. Every message loop of the program calls it first.
    static bool PreTranslateMessage(MSG& message);

    // Keyboard shortcuts of the table go as WM_COMMAND to `target` while the keyboard is in
    // `target` or in one of `alsoFrom`.
    static void SetAccelerators(HACCEL table, HWND target, std::initializer_list<HWND> alsoFrom);

    static HINSTANCE Instance();

    // Posted to a dialog once the dialog manager has handled WM_DPICHANGED (moved and sized the
    // dialog, laid out its controls, given them fonts of the new size): what the dialog draws
    // or sizes itself follows the new DPI here. wParam is that of WM_DPICHANGED.
    static UINT DpiChangedMessage();

protected:
    // True lets the dialog manager focus the first control. A modal dialog is centred over its
    // owner (or the screen) once this has run.
    virtual BOOL OnInitDialog();
    // Once the dialog stands where it opens (a modal one centred), before it is first shown:
    // windows that open beside it are placed here.
    virtual void OnPlaced() {}
    virtual bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) = 0;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void CenterOverOwner();

    static HACCEL accelerators_;
    static HWND acceleratorTarget_;
    static std::vector<HWND> acceleratorWindows_;

    UINT templateId_;
    HWND window_ = nullptr;
    bool modal_ = false;
    bool ended_ = false;
    INT_PTR result_ = 0;
};

// Connects a dialog class to its message map: `class CMainDlg : public CDialogImpl<CMainDlg>`
// with `static const MessageMap<CMainDlg> messageMap;`.
template <typename T> class CDialogImpl : public CDialog {
public:
    using CDialog::CDialog;

protected:
    bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override {
        return T::messageMap.Dispatch(static_cast<T&>(*this), message, wParam, lParam, result);
    }
};

} // namespace krt460::ui
