#pragma once

#include "ui/framework/handles.h"

#include <windows.h>

namespace krt460::ui {

// The DPI of the window's monitor (Windows 10 and later); older systems have one DPI for the
// whole screen.
int WindowDpi(HWND window);

// The whole-number factor by which pixel art (the lamp, the 160 x 160 picture) is enlarged on
// this window's monitor: max(1, round(dpi / 96)), so that dots stay sharp (2 at 192 dpi).
int PixelScale(HWND window);

// A size of the system's (SM_CXICON, SM_CXSMICON, ...) at this DPI.
int MetricForDpi(int index, int dpi);

// The executable's icon resource `id` at `size` x `size` pixels, scaled down from a larger image
// where the system can (comctl32 6), so that it stays sharp at any DPI. Null when it is missing.
HICON LoadIconOfSize(UINT id, int size);

// Gives the window icon resource `id` at its DPI, for the title bar and the taskbar, and keeps
// the icons in `icon` and `smallIcon` once the window no longer uses the previous ones.
void SetWindowIcons(HWND window, UINT id, UniqueIcon& icon, UniqueIcon& smallIcon);

// Copies a picture enlarged by `scale`, nearest neighbour: every dot becomes scale x scale.
void BlitScaled(HDC target, int x, int y, HDC source, int width, int height, int scale);

} // namespace krt460::ui
