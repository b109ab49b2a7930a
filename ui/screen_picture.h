#pragma once

#include "image/screen_image.h"
#include "ui/framework/handles.h"

namespace krt460::ui {

// Describes the one-bit rows and makes the platform picture from them.
UniqueBitmap MakePicture(CScreenImage& image);

// Loads a picture from the resources and reads its description back.
UniqueBitmap LoadPicture(UINT id, PictureDescription* description = nullptr);

// What the display window paints: the owner's current picture.
class IPictureSource {
public:
    virtual HBITMAP Picture() const = 0;
    virtual const PictureDescription& Description() const = 0;

protected:
    ~IPictureSource() = default;
};

} // namespace krt460::ui
