#pragma once

#include <windows.h>

#include <initializer_list>
#include <vector>

namespace krt460::ui {

// One class's table from window messages and command ids to its member handlers, declared once
// next to the class, in the manner of a message map. A message handler returns what the
// dialog procedure returns (TRUE: handled); a command handler handles a button click.
template <typename T> class MessageMap {
public:
    using MessageHandler = INT_PTR (T::*)(WPARAM, LPARAM);
    using CommandHandler = void (T::*)();

    struct Entry {
        UINT message;
        UINT commandId;
        MessageHandler onMessage;
        CommandHandler onCommand;
        int notification = -1; // a control's notification code; -1: a click or accelerator
    };

    MessageMap(std::initializer_list<Entry> entries) : entries_(entries) {}

    // False when the table has no entry for the message, which then gets default processing.
    bool Dispatch(T& target, UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) const {
        for (const Entry& entry : entries_) {
            if (entry.message != message) {
                continue;
            }
            if (entry.onMessage != nullptr) {
                result = (target.*entry.onMessage)(wParam, lParam);
                return true;
            }
            // Clicks and their keyboard equivalents (code 0), accelerators (code 1), or the
            // one notification the entry names.
            const bool matches = entry.notification < 0
                                     ? HIWORD(wParam) <= 1
                                     : HIWORD(wParam) == static_cast<UINT>(entry.notification);
            if (LOWORD(wParam) == entry.commandId && matches) {
                (target.*entry.onCommand)();
                result = TRUE;
                return true;
            }
        }
        return false;
    }

private:
    std::vector<Entry> entries_;
};

template <typename T>
typename MessageMap<T>::Entry OnMessage(UINT message, INT_PTR (T::*handler)(WPARAM, LPARAM)) {
    return {message, 0, handler, nullptr};
}

template <typename T> typename MessageMap<T>::Entry OnCommand(UINT id, void (T::*handler)()) {
    return {WM_COMMAND, id, nullptr, handler};
}

// A control's notification, such as CBN_EDITCHANGE of a combo box.
template <typename T>
typename MessageMap<T>::Entry OnNotification(UINT id, int code, void (T::*handler)()) {
    return {WM_COMMAND, id, nullptr, handler, code};
}

} // namespace krt460::ui
