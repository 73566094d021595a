#include <limits>

#include <gtest/gtest.h>

#include "KorvuDarivir/UI/StatusIcon.h"
#include "Rendering.h"

using korvu::StatusIcon;
using korvu::StatusImage;

namespace {

int alphaAt(const QImage& image, double x, double y) { return uitest::at(image, {x, y}).alpha(); }

}  // namespace

TEST(StatusIcon, RingGrowsClockwiseFromTheTopAndIsClamped)
{
    const QImage none = StatusIcon::ring(0).image2x;
    EXPECT_EQ(StatusIcon::ring(-3).image2x, none);
    EXPECT_EQ(alphaAt(none, 8.4, 2), 255);  // a 5 % sliver right of the top
    EXPECT_LT(alphaAt(none, 14, 8), 128);   // track only
    const QImage half = StatusIcon::ring(0.5).image2x;
    EXPECT_EQ(alphaAt(half, 14, 8), 255);
    EXPECT_NEAR(alphaAt(half, 2, 8) / 255.0, 0.25, 0.05);
    const QImage full = StatusIcon::ring(1).image2x;
    EXPECT_EQ(alphaAt(full, 2, 8), 255);
    EXPECT_EQ(StatusIcon::ring(std::numeric_limits<double>::quiet_NaN()).image2x, full);
}

TEST(StatusIcon, BarsDotsAndBadgeAndTheTraySquaresRecolourTemplatesOnly)
{
    const StatusImage bars = StatusIcon::bars(false);
    for (const double x : {1.0, 8.0, 15.0}) EXPECT_EQ(alphaAt(bars.image2x, x, 8), 255) << x;
    EXPECT_EQ(alphaAt(bars.image2x, 2.75, 8), 0);   // gap
    EXPECT_EQ(alphaAt(bars.image2x, 8, 1.5), 255);  // the middle bar is 14 high
    EXPECT_EQ(alphaAt(bars.image2x, 1, 4.5), 0);    // the outer ones 5
    EXPECT_EQ(alphaAt(StatusIcon::dots().image2x, 5, 8), 0);

    const QColor white = StatusIcon::trayForeground(platform::Appearance::dark);
    const StatusImage badge = StatusIcon::bars(true, white);
    EXPECT_TRUE(bars.isTemplate && StatusIcon::dots().isTemplate && StatusIcon::ring(0.42).isTemplate);
    EXPECT_FALSE(badge.isTemplate || StatusIcon::recordDot().isTemplate);
    EXPECT_NEAR(alphaAt(badge.image2x, 1, 8) / 255.0, 0.4, 0.01);  // dimmed bars

    // Templates take the tray's foreground; the others keep their colours, centred on a
    // square (the badge 1.5 lower on 19 x 19).
    EXPECT_TRUE(uitest::sameColour(uitest::at(StatusIcon::dots().squareImage(white, 2), {8, 8}), 0xFFFFFF));
    EXPECT_TRUE(uitest::sameColour(uitest::at(badge.squareImage(white, 2), {11.2, 6}), 0xEE3F23));
    EXPECT_EQ(badge.squareImage(white, 1).size(), QSize(19, 19));
    const QImage dot = StatusIcon::recordDot().squareImage(white, 2);
    EXPECT_EQ(dot.size(), QSize(32, 32));
    EXPECT_TRUE(uitest::sameColour(uitest::at(dot, {8, 8}), 0xEE3F23));
    EXPECT_EQ(uitest::at(dot, {1, 1}).alpha(), 0);
    int exclamation = 0;  // white pixels of the "!" in the badge
    for (int y = 0; y < 18; ++y)
        for (int x = 26; x < 32; ++x) exclamation += badge.image2x.pixelColor(x, y).lightness() > 240 ? 1 : 0;
    EXPECT_GT(exclamation, 4);
}
