#pragma once

#include "keep/capture_keeper.h"

#include <windows.h>

#include <cstddef>
#include <string>

namespace krt460::ui {

// What an armed series shows beside the lamp.
struct SeriesStatus {
    std::string port; // as armed
    bool portGone = false;
    CCaptureKeeper::Counts counts;
    bool scp1Stale = false; // Scp1.bmp shows an earlier print
};

// "n / 3328" for the print under way; with a series, its port if gone, its counts and a stale
// Scp1.bmp, a line each.
std::wstring StatusText(std::size_t count, const SeriesStatus* series);

// What Anzeigen tells once the picture is shown: a capture cut short (shown as far as it got),
// line errors; empty when all is well.
std::wstring AfterShowText(std::size_t count, const LineErrors& errors);

// Draws the text centred in `area` in the window's font, broken between words where the area is
// too narrow for a line.
void DrawStatusText(HDC dc, HWND window, const RECT& area, const std::wstring& text);

} // namespace krt460::ui
