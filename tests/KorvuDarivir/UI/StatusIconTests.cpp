#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "KorvuDarivir/UI/StatusIcon.h"
#include "Rendering.h"

using korvu::StatusIcon;
using korvu::StatusImage;

namespace {

int alphaAt(const QImage& image, double x, double y) { return uitest::at(image, {x, y}).alpha(); }

}  // namespace

TEST(StatusIcon, RingGrowsClockwiseFromTheTop)
{
    const QImage none = StatusIcon::ring(0).image2x;
    EXPECT_EQ(StatusIcon::ring(0.01).image2x, none);
    EXPECT_EQ(StatusIcon::ring(-3).image2x, none);
    EXPECT_EQ(alphaAt(none, 8.4, 2), 255);  // a 5 % sliver right of the top
    EXPECT_LT(alphaAt(none, 14, 8), 128);   // track only
    const QImage half = StatusIcon::ring(0.5).image2x;
    EXPECT_EQ(alphaAt(half, 14, 8), 255);
    EXPECT_NEAR(alphaAt(half, 2, 8) / 255.0, 0.25, 0.05);
    const QImage full = StatusIcon::ring(1).image2x;
    EXPECT_EQ(alphaAt(full, 2, 8), 255);
    EXPECT_EQ(StatusIcon::ring(2).image2x, full);
    EXPECT_EQ(StatusIcon::ring(std::numeric_limits<double>::quiet_NaN()).image2x, full);
}

TEST(StatusIcon, BarsDotsAndBadge)
{
    const StatusImage bars = StatusIcon::bars(false);
    const StatusImage dots = StatusIcon::dots();
    EXPECT_TRUE(bars.isTemplate && dots.isTemplate && StatusIcon::ring(0.42).isTemplate);
    for (const double x : {1.0, 4.5, 8.0, 11.5, 15.0}) {
        EXPECT_EQ(alphaAt(bars.image2x, x, 8), 255) << x;
    }
    EXPECT_EQ(alphaAt(bars.image2x, 2.75, 8), 0);   // gap
    EXPECT_EQ(alphaAt(bars.image2x, 8, 1.5), 255);  // the middle bar is 14 high
    EXPECT_EQ(alphaAt(bars.image2x, 1, 4.5), 0);    // the outer ones 5
    for (const double x : {2.0, 8.0, 14.0}) {
        EXPECT_EQ(alphaAt(dots.image2x, x, 8), 255) << x;
    }
    EXPECT_EQ(alphaAt(dots.image2x, 5, 8), 0);

    const StatusImage badge = StatusIcon::bars(true, Qt::white);
    EXPECT_FALSE(badge.isTemplate || StatusIcon::recordDot().isTemplate);
    EXPECT_EQ(badge.size, QSize(19, 16));
    EXPECT_TRUE(uitest::sameColour(uitest::at(badge.image2x, {11.2, 4.5}), 0xEE3F23));
    EXPECT_NEAR(alphaAt(badge.image2x, 1, 8) / 255.0, 0.4, 0.01);  // dimmed bars
    int white = 0;  // the "!" in the badge
    for (int y = 0; y < 18; ++y) {
        for (int x = 26; x < 32; ++x) {
            white += badge.image2x.pixelColor(x, y).lightness() > 240 ? 1 : 0;
        }
    }
    EXPECT_GT(white, 4);
}

TEST(StatusIcon, TraySquaresRecolourTemplatesOnly)
{
    const QColor white = StatusIcon::trayForeground(platform::Appearance::dark);
    EXPECT_EQ(white, QColor(Qt::white));
    EXPECT_EQ(StatusIcon::trayForeground(platform::Appearance::light), QColor(Qt::black));
    const std::pair<const char*, StatusImage> images[] = {
        {"bars", StatusIcon::bars(false)}, {"badge", StatusIcon::bars(true, white)}, {"dot", StatusIcon::recordDot()},
        {"dots", StatusIcon::dots()}, {"ring0", StatusIcon::ring(0)}, {"ring42", StatusIcon::ring(0.42)}};
    for (const auto& [name, image] : images) {
        for (const int ratio : {1, 2}) {
            const QImage square = image.squareImage(white, ratio);
            const int side = image.size.width() == 19 ? 19 : 16;
            EXPECT_EQ(square.size(), QSize(side, side) * ratio) << name;
            uitest::saveArtifact(square, QStringLiteral("StatusIcon-%1-dark@%2x").arg(name).arg(ratio));
            uitest::saveArtifact(image.squareImage(Qt::black, ratio), QStringLiteral("StatusIcon-%1-light@%2x").arg(name).arg(ratio));
        }
    }
    EXPECT_TRUE(uitest::sameColour(uitest::at(StatusIcon::dots().squareImage(white, 2), {8, 8}), 0xFFFFFF));
    // Not templates: colours kept, centred on 19 x 19 (1.5 lower) and 16 x 16.
    EXPECT_TRUE(uitest::sameColour(uitest::at(StatusIcon::bars(true, white).squareImage(white, 2), {11.2, 6}), 0xEE3F23));
    const QImage dot = StatusIcon::recordDot().squareImage(white, 2);
    EXPECT_TRUE(uitest::sameColour(uitest::at(dot, {8, 8}), 0xEE3F23));
    EXPECT_EQ(uitest::at(dot, {1, 1}).alpha(), 0);
    EXPECT_FALSE(StatusIcon::dots().toIcon(white).isNull());
}
