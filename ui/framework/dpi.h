#pragma once

#include <windows.h>

namespace krt460::ui {

// The whole-number factor by which pixel art (the lamp, the 160 x 160 picture) is enlarged on
// this window's monitor: max(1, round(dpi / 96)), so that dots stay sharp (2 at 192 dpi).
int PixelScale(HWND window);

// Copies a picture enlarged by `scale`, nearest neighbour: every dot becomes scale x scale.
void BlitScaled(HDC target, int x, int y, HDC source, int width, int height, int scale);

} // namespace krt460::ui
