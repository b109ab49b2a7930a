#include "ui/screen_picture.h"

#include "ui/framework/dialog.h"

namespace krt460::ui {

UniqueBitmap MakePicture(CScreenImage& image) {
    image.DescribeRows();
    const PictureDescription& d = image.Description();
    BITMAP bitmap{
        d.type, d.width, d.height, d.widthBytes, d.planes, d.bitsPixel, const_cast<void*>(d.bits)};
    return UniqueBitmap(::CreateBitmapIndirect(&bitmap));
}

UniqueBitmap LoadPicture(UINT id, PictureDescription* description) {
    UniqueBitmap picture(::LoadBitmapA(CDialog::Instance(), MAKEINTRESOURCEA(id)));
    if (picture && description != nullptr) {
        BITMAP bitmap{};
        ::GetObjectA(picture.get(), sizeof bitmap, &bitmap);
        *description = {bitmap.bmType,   bitmap.bmWidth,     bitmap.bmHeight, bitmap.bmWidthBytes,
                        bitmap.bmPlanes, bitmap.bmBitsPixel, nullptr};
    }
    return picture;
}

} // namespace krt460::ui
