#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include "Platform/UI/FakeScreenProvider.h"

using platform::FakeScreenProvider;

TEST(ScreenProvider, FakeScreensAnswerContainmentAndIntersection)
{
    // A primary screen and a second one to its right that stands 200 higher (y up).
    const FakeScreenProvider two({FakeScreenProvider::screen({0, 0, 1440, 900}, 25, 60),
                                  FakeScreenProvider::screen({1440, 200, 1920, 1080}, 0, 0, 2.0)},
                                 {100, 100});
    EXPECT_EQ(two.primaryScreen()->frame, QRectF(0, 0, 1440, 900));
    EXPECT_EQ(two.primaryScreen()->availableArea, QRectF(0, 60, 1440, 815));
    // Left and bottom edges belong to a screen, right and top edges do not.
    const auto frameAt = [&](QPointF p) { return two.screenContaining(p).value_or(platform::ScreenInfo{}).frame; };
    EXPECT_EQ(frameAt({0, 0}), QRectF(0, 0, 1440, 900));
    EXPECT_EQ(frameAt({1439.9, 899.9}), QRectF(0, 0, 1440, 900));
    EXPECT_EQ(frameAt({1440, 500}), QRectF(1440, 200, 1920, 1080));
    for (const QPointF outside : {QPointF(1440, 100), QPointF(1440, 1280), QPointF(-1, 10)}) {
        EXPECT_FALSE(two.screenContaining(outside).has_value()) << outside.x() << "," << outside.y();
    }
    EXPECT_EQ(two.screenIntersecting({1400, 300, 100, 10})->frame, QRectF(0, 0, 1440, 900));  // the first wins
    EXPECT_EQ(two.screenIntersecting({1500, 1000, 10, 10})->devicePixelRatio, 2.0);
    EXPECT_FALSE(two.screenIntersecting({5000, 0, 10, 10}).has_value());

    const FakeScreenProvider none;
    EXPECT_FALSE(none.primaryScreen().has_value());
    EXPECT_FALSE(none.screenContaining({0, 0}).has_value());
}

TEST(ScreenProvider, QtScreensAreInTheBottomLeftSpace)
{
    const platform::QtScreenProvider provider;
    QScreen* primary = QGuiApplication::primaryScreen();
    ASSERT_NE(primary, nullptr);
    const auto screens = provider.screens();
    ASSERT_FALSE(screens.empty());
    EXPECT_EQ(screens.front(), *provider.primaryScreen());
    EXPECT_EQ(screens.front().frame, QRectF(QPointF(0, 0), QSizeF(primary->geometry().size())));
    EXPECT_EQ(screens.front().devicePixelRatio, primary->devicePixelRatio());

    QCursor::setPos(primary, 30, 40);
    EXPECT_EQ(provider.cursorPosition(), QPointF(30, primary->geometry().height() - 40));
}
