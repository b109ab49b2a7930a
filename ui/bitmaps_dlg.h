#pragma once

#include "image/screen_image.h"
#include "ui/framework/dialog.h"

#include <string>

namespace krt460::ui {

// Saves the one-bit picture under a typed name, listing the BMP and PNG files already here.
class CBitmapsDlg : public CDialogImpl<CBitmapsDlg> {
public:
    explicit CBitmapsDlg(const CScreenImage& image);
    static const MessageMap<CBitmapsDlg> messageMap;

    // The file a typed name is saved as: as typed when it ends in .bmp or .png (any case),
    // else with ".bmp" appended. A .png name is written as PNG.
    static std::string BitmapFileName(const std::string& typed);

private:
    BOOL OnInitDialog() override;
    void OnSave();

    const CScreenImage& image_;
};

} // namespace krt460::ui
