#include "ui/framework/placement.h"

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

} // namespace krt460::ui
