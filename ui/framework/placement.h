#pragma once

#include <windows.h>

namespace krt460::ui {

// Where two windows open together, by their top-left corners.
struct PairPlacement {
    POINT first;
    POINT second;
};

// Side by side (the first on the left, tops aligned) when the work area is wide enough, else
// one above the other (the first on top), `gap` pixels apart and the pair centred in the work
// area. In a work area too small for either the pair stands side by side from its top-left
// corner: the first window stays whole and uncovered.
PairPlacement PlaceSideBySide(const RECT& workArea, SIZE first, SIZE second, int gap);

// Moves two windows so (as above) inside the work area of the first one's monitor, 8 dialog
// pixels apart at its DPI, and shows the second.
void PlaceWindowsSideBySide(HWND first, HWND second);

} // namespace krt460::ui
