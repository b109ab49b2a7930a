#include "ui/bitmaps_dlg.h"
#include "ui/main_dlg.h"

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

// The texts come from the resources, where the umlauts live.
TEST(MainDialog, AnzeigenSaysWhatIsWrongWithTheCapture) {
    const LineErrors none{true};
    const LineErrors three{true, 2, 0, 1, 0};
    const std::wstring incomplete = L"Unvollst\u00e4ndig: 1000 von 3328 Bytes empfangen.";
    const std::wstring errors = L"\u00dcbertragungsfehler (3): bitte 9600 Baud, 8N1 am Ger\u00e4t "
                                L"pr\u00fcfen.";
    EXPECT_EQ(CMainDlg::DecodeOutcome(3328, true, none), L"");
    EXPECT_EQ(CMainDlg::DecodeOutcome(0, true, none), L"");
    EXPECT_EQ(CMainDlg::DecodeOutcome(3328, false, none), L"Es ging nicht!");
    EXPECT_EQ(CMainDlg::DecodeOutcome(0, false, none), L"Es ging nicht!");
    EXPECT_EQ(CMainDlg::DecodeOutcome(1000, false, none), incomplete);
    EXPECT_EQ(CMainDlg::DecodeOutcome(3328, true, three), errors);
    EXPECT_EQ(CMainDlg::DecodeOutcome(1000, false, three), incomplete + L"\n" + errors);
}

} // namespace
} // namespace krt460::ui
