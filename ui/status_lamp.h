#pragma once

#include "ui/framework/handles.h"

#include <windows.h>

namespace krt460::ui {

// The status lamp: yellow idle, green while a capture waits, red once a whole print with its
// end marker has arrived.
enum class LampState { Idle, Receiving, Received };

// The lamp's picture in the main window's top-left corner, enlarged at high DPI.
class CStatusLamp {
public:
    // In dialog pixels of 96 dpi.
    static constexpr POINT kPosition{6, 6};

    void Load(LampState state);
    LampState State() const { return state_; }
    SIZE Size() const { return size_; }
    void Paint(HDC dc, int scale) const;

private:
    LampState state_ = LampState::Idle;
    UniqueBitmap picture_;
    SIZE size_{};
};

} // namespace krt460::ui
