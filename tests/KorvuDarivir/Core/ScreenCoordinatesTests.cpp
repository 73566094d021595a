#include "Platform/UI/ScreenCoordinates.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

namespace {

using platform::ScreenCoordinates;

TEST(ScreenCoordinates, FlipAroundThePrimaryScreensBottomEdgeBothWays)
{
    const QRectF primary(0, 0, 1280, 800);
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(50, -100), primary), QPointF(50, 900));  // a screen above
    // A rectangle's bottom-left corner, its size kept.
    EXPECT_EQ(ScreenCoordinates::fromQt(QRectF(100, 50, 200, 30), primary), QRectF(100, 720, 200, 30));
    EXPECT_EQ(ScreenCoordinates::toQt(QRectF(100, 720, 200, 30), primary), QRectF(100, 50, 200, 30));
    // A primary screen away from the origin shifts both axes.
    const QRectF shifted(1920, 200, 1280, 1024);
    EXPECT_EQ(ScreenCoordinates::fromQt(QPointF(2000.5, 300.25), shifted), QPointF(80.5, 923.75));
    EXPECT_EQ(ScreenCoordinates::toQt(QPointF(80.5, 923.75), shifted), QPointF(2000.5, 300.25));
    const QRectF geometry = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(ScreenCoordinates::fromQt(geometry.topLeft()), QPointF(0, geometry.height()));
}

}  // namespace
