#include "ui/bitmaps_dlg.h"

#include <gtest/gtest.h>

namespace krt460::ui {
namespace {

TEST(BitmapsDialog, TypedNamesKeepBmpOrPngElseGetBmp) {
    const std::pair<const char*, const char*> cases[] = {
        {"test", "test.bmp"},           {"test.bmp", "test.bmp"},
        {"TEST.BMP", "TEST.BMP"},       {"a.b", "a.b.bmp"},
        {"..\\test", "..\\test.bmp"},   {"x\\y", "x\\y.bmp"},
        {" padded ", " padded .bmp"},   {".bmp", ".bmp"},
        {"bericht.png", "bericht.png"}, {"Bericht.PNG", "Bericht.PNG"},
        {"a.png.txt", "a.png.txt.bmp"},
    };
    for (const auto& [typed, saved] : cases) {
        EXPECT_EQ(CBitmapsDlg::BitmapFileName(typed), saved) << typed;
    }
}

} // namespace
} // namespace krt460::ui
