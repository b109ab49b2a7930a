#pragma once

#include "image/screen_image.h"
#include "ui/framework/dialog.h"

#include <string>

namespace krt460::ui {

// Saves the one-bit picture under a typed name, listing the BMP files already here.
class CBitmapsDlg : public CDialogImpl<CBitmapsDlg> {
public:
    explicit CBitmapsDlg(const CScreenImage& image);
    static const MessageMap<CBitmapsDlg> messageMap;

    // The file a typed name is saved as: ".bmp" appended unless it already ends so (any case).
    static std::string BitmapFileName(const std::string& typed);

private:
    BOOL OnInitDialog() override;
    void OnSave();

    const CScreenImage& image_;
};

} // namespace krt460::ui
