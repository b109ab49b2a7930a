#include "ui/status_lamp.h"

#include "res/resource.h"
#include "ui/framework/dpi.h"
#include "ui/screen_picture.h"

namespace krt460::ui {

void CStatusLamp::Load(LampState state) {
    UINT id = IDB_LAMP_IDLE;
    if (state == LampState::Receiving) {
        id = IDB_LAMP_RECEIVING;
    } else if (state == LampState::Received) {
        id = IDB_LAMP_RECEIVED;
    }
    picture_ = LoadPicture(id);
    state_ = state;
    BITMAP bitmap{};
    ::GetObjectA(picture_.get(), sizeof bitmap, &bitmap);
    size_ = {bitmap.bmWidth, bitmap.bmHeight};
}

void CStatusLamp::Paint(HDC dc, int scale) const {
    const UniqueMemoryDc memory(::CreateCompatibleDC(dc));
    const SelectedObject selected(memory.get(), picture_.get());
    BlitScaled(dc, kPosition.x * scale, kPosition.y * scale, memory.get(), size_.cx, size_.cy,
               scale);
}

} // namespace krt460::ui
