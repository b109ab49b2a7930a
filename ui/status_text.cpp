#include "ui/status_text.h"

#include "res/resource.h"
#include "ui/framework/handles.h"
#include "ui/framework/message_box.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace krt460::ui {

std::wstring StatusText(std::size_t count, const SeriesStatus* series) {
    // A series may hold bytes beyond a print's length (stray ones before it) for a moment.
    wchar_t line[48];
    std::swprintf(line, std::size(line), L"%zu / %zu", std::min(count, kFrameLength), kFrameLength);
    std::wstring text = line;
    if (series == nullptr) {
        return text;
    }
    if (series->portGone) {
        text =
            std::wstring(series->port.begin(), series->port.end()) + L" " + LoadText(IDS_PORT_GONE);
    }
    std::swprintf(line, std::size(line), L"\n%u gespeichert", series->counts.pictures);
    text += line;
    if (series->counts.partial > 0) {
        text += L"\n" + FormatText(IDS_SERIES_PARTIAL, series->counts.partial);
    }
    if (series->counts.unreadable > 0) {
        std::swprintf(line, std::size(line), L"\n%u unlesbar", series->counts.unreadable);
        text += line;
    }
    if (series->scp1Stale) {
        text += L"\nScp1.bmp nicht aktuell";
    }
    return text;
}

void DrawStatusText(HDC dc, HWND window, const RECT& area, const std::wstring& text) {
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
    const SelectedObject selected(dc, font);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    RECT measured = area;
    ::DrawTextW(dc, text.c_str(), -1, &measured, DT_CENTER | DT_WORDBREAK | DT_CALCRECT);
    RECT target = area;
    target.top += (area.bottom - area.top - (measured.bottom - measured.top)) / 2;
    ::DrawTextW(dc, text.c_str(), -1, &target, DT_CENTER | DT_WORDBREAK | DT_NOCLIP);
}

std::wstring AfterShowText(std::size_t count, const LineErrors& errors) {
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

} // namespace krt460::ui
