// The layout unit and the placement of the main window on the work area.
#include <windows.h>
#include <gtest/gtest.h>

#include "app/appstate.h"
#include "ui/layout.h"

namespace {

RECT R(int l, int t, int r, int b) {
  RECT x = {l, t, r, b};
  return x;
}

void ExpectRect(const RECT& got, const RECT& want) {
  EXPECT_EQ(got.left, want.left);
  EXPECT_EQ(got.top, want.top);
  EXPECT_EQ(got.right, want.right);
  EXPECT_EQ(got.bottom, want.bottom);
}

}  // namespace

TEST(Layout, UnitIsAThirdOfTheLetterHeight) {
  EXPECT_EQ(UnitFromHeight(12), 4);
  EXPECT_EQ(UnitFromHeight(14), 4);
  EXPECT_EQ(UnitFromHeight(15), 5);
  EXPECT_EQ(CLIENT_UNITS_W * UnitFromHeight(15), 1060);
  EXPECT_EQ(CLIENT_UNITS_H * UnitFromHeight(15), 540);
}

TEST(Layout, FontsFollowTheInterfaceFont) {
  MakeFonts();
  ASSERT_NE(g_app.fonts[0], nullptr);
  ASSERT_NE(g_app.fonts[1], nullptr);
  const SIZE o = TextExtent(nullptr, g_app.fonts[0], L"O");
  EXPECT_EQ(g_layout.cw, o.cx);
  EXPECT_EQ(g_layout.ch, o.cy);
  EXPECT_EQ(g_layout.unit, o.cy / 3);
  LOGFONTW clock = {};
  ASSERT_TRUE(GetObjectW(g_app.fonts[1], sizeof clock, &clock));
  EXPECT_EQ(clock.lfWeight, 600);
  EXPECT_EQ(clock.lfHeight, 4 * g_layout.unit);
  DeleteFonts();
}

TEST(Layout, CentredOnTheWorkAreaSizeFromTheScreenOrigin) {
  ExpectRect(CentredRectIn(R(0, 0, 1280, 1024), 400, 300), R(440, 362, 840, 662));
  // A work area beside a task bar on the left: its origin is not added.
  ExpectRect(CentredRectIn(R(100, 50, 1380, 1074), 400, 300), R(440, 362, 840, 662));
  // Odd remainders are dropped.
  ExpectRect(CentredRectIn(R(0, 0, 1001, 801), 100, 100), R(450, 350, 550, 450));
  // Larger than the work area: negative origin, size kept.
  ExpectRect(CentredRectIn(R(0, 0, 800, 600), 1000, 700), R(-100, -50, 900, 650));
}

TEST(Layout, ClampedInsideTheMarginsWithoutResizing) {
  const RECT work = R(0, 0, 1280, 1024);
  ExpectRect(ClampToRect(work, R(440, 362, 840, 662)), R(440, 362, 840, 662));
  ExpectRect(ClampToRect(work, R(-50, -20, 350, 280)), R(4, 4, 404, 304));
  ExpectRect(ClampToRect(work, R(1000, 900, 1400, 1200)), R(876, 720, 1276, 1020));
  // Larger than the work area: it ends on the right and bottom margins.
  ExpectRect(ClampToRect(R(0, 0, 800, 600), R(-100, -50, 900, 650)), R(-204, -104, 796, 596));
  // A work area that does not start at 0: the centred rectangle is pulled in.
  const RECT shifted = R(300, 200, 1100, 800);
  const RECT centred = CentredRectIn(shifted, 400, 300);
  ExpectRect(centred, R(200, 150, 600, 450));
  ExpectRect(ClampToRect(shifted, centred), R(304, 204, 704, 504));
}
