#include "Platform/UI/ScreenCoordinates.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

namespace {

using platform::ScreenCoordinates;

TEST(ScreenCoordinates, PointsFlipAroundThePrimaryScreensBottomEdgeAndRectanglesKeepTheirSize)
{
    const QRectF primary(0, 0, 1280, 800);
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(100, 790), primary), QPointF(100, 10));
    EXPECT_EQ(ScreenCoordinates::toQt(QPointF(100, 10), primary), QPointF(100, 790));
    // A second screen above the primary one lies at negative Qt y and above 800 here.
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(50, -100), primary), QPointF(50, 900));
    // A field 200 × 30 with its top-left corner at (100, 50) has its bottom-left corner
    // 80 points below the top of the screen: y-up 720.
    EXPECT_EQ(ScreenCoordinates::fromQt(QRectF(100, 50, 200, 30), primary), QRectF(100, 720, 200, 30));
    EXPECT_EQ(ScreenCoordinates::toQt(QRectF(100, 720, 200, 30), primary), QRectF(100, 50, 200, 30));
    // A primary screen away from the origin shifts both axes.
    const QRectF shifted(1920, 200, 1280, 1024);
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(2000.5, 300.25), shifted), QPointF(80.5, 923.75));
    EXPECT_EQ(ScreenCoordinates::toQt(QPointF(80.5, 923.75), shifted), QPointF(2000.5, 300.25));
    const QRectF rect(1900, 100, 40, 60);
    EXPECT_EQ(ScreenCoordinates::toQt(ScreenCoordinates::fromQt(rect, shifted), shifted), rect);
}

TEST(ScreenCoordinates, UsesTheRunningApplicationsPrimaryScreen)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRectF geometry = screen->geometry();
    EXPECT_EQ(ScreenCoordinates::primaryScreenGeometry(), geometry);
    EXPECT_EQ(ScreenCoordinates::fromQt(geometry.topLeft()), QPointF(0, geometry.height()));
    EXPECT_EQ(ScreenCoordinates::toQt(QPointF(0, 0)), QPointF(geometry.left(), geometry.top() + geometry.height()));
}

}  // namespace
