#include "ui/bitmaps_dlg.h"
#include "ui/framework/handles.h"
#include "ui/framework/message_map.h"

#include <gtest/gtest.h>

namespace krt460::ui {
namespace {

TEST(Handles, SelectedObjectPutsThePreviousObjectBack) {
    const UniqueMemoryDc dc(::CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    const HGDIOBJ original = ::GetCurrentObject(dc.get(), OBJ_BITMAP);
    const UniqueBitmap bitmap(::CreateBitmap(8, 8, 1, 1, nullptr));
    {
        const SelectedObject selected(dc.get(), bitmap.get());
        EXPECT_EQ(::GetCurrentObject(dc.get(), OBJ_BITMAP), bitmap.get());
    }
    EXPECT_EQ(::GetCurrentObject(dc.get(), OBJ_BITMAP), original);
}

TEST(Handles, OwnerDeletesOnceAndMoveHandsOn) {
    UniqueBitmap first(::CreateBitmap(8, 8, 1, 1, nullptr));
    const HBITMAP raw = first.get();
    UniqueBitmap second = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), raw);
    EXPECT_NE(::GetObjectType(raw), 0u);
    second.reset();
    EXPECT_EQ(::GetObjectType(raw), 0u);
}

struct Target {
    int clicks = 0;
    int painted = 0;
    void OnClick() { ++clicks; }
    INT_PTR OnPaint(WPARAM, LPARAM) {
        ++painted;
        return TRUE;
    }
};

TEST(MessageMap, DispatchesByMessageAndCommandIdAndLeavesTheRest) {
    const MessageMap<Target> map{OnCommand(42, &Target::OnClick),
                                 OnMessage(WM_PAINT, &Target::OnPaint)};
    Target target;
    INT_PTR result = 0;
    EXPECT_TRUE(map.Dispatch(target, WM_COMMAND, MAKEWPARAM(42, BN_CLICKED), 0, result));
    EXPECT_TRUE(map.Dispatch(target, WM_PAINT, 0, 0, result));
    EXPECT_FALSE(map.Dispatch(target, WM_COMMAND, MAKEWPARAM(43, BN_CLICKED), 0, result));
    EXPECT_FALSE(map.Dispatch(target, WM_COMMAND, MAKEWPARAM(42, EN_CHANGE), 0, result));
    EXPECT_FALSE(map.Dispatch(target, WM_TIMER, 0, 0, result));
    EXPECT_EQ(target.clicks, 1);
    EXPECT_EQ(target.painted, 1);
}

TEST(BitmapsDialog, TypedNamesGetTheBmpExtensionOnce) {
    const std::pair<const char*, const char*> cases[] = {
        {"test", "test.bmp"},         {"test.bmp", "test.bmp"},
        {"TEST.BMP", "TEST.BMP"},     {"a.b", "a.b.bmp"},
        {"..\\test", "..\\test.bmp"}, {"x\\y", "x\\y.bmp"},
        {" padded ", " padded .bmp"}, {".bmp", ".bmp"},
    };
    for (const auto& [typed, saved] : cases) {
        EXPECT_EQ(CBitmapsDlg::BitmapFileName(typed), saved) << typed;
    }
}

} // namespace
} // namespace krt460::ui
