#include "Platform/UI/ScreenCoordinates.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

namespace {

using platform::ScreenCoordinates;

TEST(ScreenCoordinates, PointsFlipAroundThePrimaryScreensBottomEdge)
{
    const QRectF primary(0, 0, 1280, 800);
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(0, 0), primary), QPointF(0, 800));
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(100, 790), primary), QPointF(100, 10));
    EXPECT_EQ(ScreenCoordinates::toQt(QPointF(100, 10), primary), QPointF(100, 790));
    // A second screen above the primary one lies at negative Qt y and above 800 here.
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(50, -100), primary), QPointF(50, 900));
}

TEST(ScreenCoordinates, RectanglesKeepTheirSizeAndSwapTheOriginCorner)
{
    const QRectF primary(0, 0, 1280, 800);
    // A text field 200 × 30 whose top-left corner is at (100, 50) in Qt's space has its
    // bottom-left corner 80 points below the top of the screen: y-up 720.
    const QRectF field(100, 50, 200, 30);
    EXPECT_EQ(ScreenCoordinates::fromQt(field, primary), QRectF(100, 720, 200, 30));
    EXPECT_EQ(ScreenCoordinates::toQt(QRectF(100, 720, 200, 30), primary), field);
}

TEST(ScreenCoordinates, APrimaryScreenAwayFromTheOriginShiftsBothAxes)
{
    const QRectF primary(1920, 200, 1280, 1024);
    const QPointF qt(2000.5, 300.25);
    const QPointF up = ScreenCoordinates::fromQt(qt, primary);
    EXPECT_EQ(up, QPointF(80.5, 923.75));
    EXPECT_EQ(ScreenCoordinates::toQt(up, primary), qt);
    const QRectF rect(1900, 100, 40, 60);
    EXPECT_EQ(ScreenCoordinates::toQt(ScreenCoordinates::fromQt(rect, primary), primary), rect);
}

TEST(ScreenCoordinates, UsesTheRunningApplicationsPrimaryScreen)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRectF geometry = screen->geometry();
    EXPECT_EQ(ScreenCoordinates::primaryScreenGeometry(), geometry);
    // The top-left corner of the primary screen is its full height up in y-up space.
    EXPECT_EQ(ScreenCoordinates::fromQt(geometry.topLeft()), QPointF(0, geometry.height()));
    EXPECT_EQ(ScreenCoordinates::toQt(QPointF(0, 0)), QPointF(geometry.left(), geometry.top() + geometry.height()));
}

}  // namespace
