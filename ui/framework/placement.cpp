#include "ui/framework/placement.h"

#include "ui/framework/dpi.h"

#include <algorithm>

namespace krt460::ui {

PairPlacement PlaceSideBySide(const RECT& workArea, SIZE first, SIZE second, int gap) {
    const LONG width = workArea.right - workArea.left;
    const LONG height = workArea.bottom - workArea.top;
    const SIZE across{first.cx + gap + second.cx, std::max(first.cy, second.cy)};
    const SIZE down{std::max(first.cx, second.cx), first.cy + gap + second.cy};
    const bool sideBySide =
        (across.cx <= width && across.cy <= height) || !(down.cx <= width && down.cy <= height);
    const SIZE pair = sideBySide ? across : down;
    const POINT corner{workArea.left + std::max(0L, (width - pair.cx) / 2),
                       workArea.top + std::max(0L, (height - pair.cy) / 2)};
    if (sideBySide) {
        return {corner, {corner.x + first.cx + gap, corner.y}};
    }
    return {corner, {corner.x, corner.y + first.cy + gap}};
}

void PlaceWindowsSideBySide(HWND first, HWND second) {
    RECT one{};
    ::GetWindowRect(first, &one);
    RECT two{};
    ::GetWindowRect(second, &two);
    MONITORINFO monitor{sizeof monitor, {}, {}, 0};
    ::GetMonitorInfoW(::MonitorFromWindow(first, MONITOR_DEFAULTTONEAREST), &monitor);
    const PairPlacement placed =
        PlaceSideBySide(monitor.rcWork, {one.right - one.left, one.bottom - one.top},
                        {two.right - two.left, two.bottom - two.top}, 8 * PixelScale(first));
    constexpr UINT kMoveOnly = SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE;
    ::SetWindowPos(first, nullptr, placed.first.x, placed.first.y, 0, 0, kMoveOnly);
    ::SetWindowPos(second, nullptr, placed.second.x, placed.second.y, 0, 0, kMoveOnly);
    ::ShowWindow(second, SW_SHOW);
}

} // namespace krt460::ui
