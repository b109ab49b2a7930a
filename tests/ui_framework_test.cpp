#include "ui/bitmaps_dlg.h"
#include "ui/framework/placement.h"
#include "ui/main_dlg.h"

#include <gtest/gtest.h>

#include <array>

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

// The texts come from the resources, where the umlauts live.
TEST(MainDialog, AnzeigenSaysWhatIsWrongWithTheCapture) {
    const LineErrors none{true};
    const LineErrors three{true, 2, 0, 1, 0};
    const std::wstring incomplete = L"Unvollst\u00e4ndig: 1000 von 3328 Bytes empfangen.";
    const std::wstring errors = L"\u00dcbertragungsfehler (3): bitte 9600 Baud, 8N1 am Ger\u00e4t "
                                L"pr\u00fcfen.";
    EXPECT_EQ(CMainDlg::TellAfterShow(3328, none), L"");
    EXPECT_EQ(CMainDlg::TellAfterShow(0, none), L"");
    EXPECT_EQ(CMainDlg::TellAfterShow(1000, none), incomplete);
    EXPECT_EQ(CMainDlg::TellAfterShow(3328, three), errors);
    EXPECT_EQ(CMainDlg::TellAfterShow(1000, three), incomplete + L"\n" + errors);
}

// The main window (350 x 250) and the display window (350 x 380) at 192 dpi, 16 pixels apart.
TEST(Placement, SideBySideWhereTheyFitElseStackedAlwaysCentred) {
    const std::pair<RECT, std::array<LONG, 4>> cases[] = {
        {{0, 0, 1024, 768}, {154, 194, 520, 194}},    // side by side, centred
        {{100, 40, 1124, 808}, {254, 234, 620, 234}}, // a work area that does not start at 0
        {{0, 0, 600, 1000}, {125, 177, 125, 443}},    // too narrow: one above the other
        {{0, 0, 500, 500}, {0, 60, 366, 60}},         // too small: the first stays whole
    };
    for (const auto& [work, expected] : cases) {
        const auto [first, second] = PlaceSideBySide(work, {350, 250}, {350, 380}, 16);
        EXPECT_EQ((std::array{first.x, first.y, second.x, second.y}), expected) << work.right;
    }
}

} // namespace
} // namespace krt460::ui
