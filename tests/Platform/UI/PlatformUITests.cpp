// The desktop platform's drawing foundations: the scheduler (the fake the tests drive and
// the one on Qt's event loop), the painting helpers and the screens.
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include <QCursor>
#include <QFontInfo>
#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include "fakes/FakeScheduler.h"
#include "fakes/FakeScreenProvider.h"
#include "Platform/UI/OncePerTurn.h"
#include "Platform/UI/Painting.h"
#include "../../KorvuDarivir/UI/Rendering.h"  // the one set of rendering helpers
#include "../../support/QtWait.h"

using namespace std::chrono_literals;
using fakes::FakeScreenProvider;
using platform::Painting;
using platform::SchedulerToken;

TEST(Scheduler, FakeRunsDueCallbacksInTimeThenSchedulingOrder)
{
    fakes::FakeScheduler scheduler;
    std::vector<std::string> fired;
    std::vector<SchedulerToken> tokens;
    const auto log = [&](std::string name) { return [&fired, name] { fired.push_back(name); }; };
    tokens.push_back(scheduler.schedule(30ms, log("30")));
    tokens.push_back(scheduler.schedule(10ms, log("10a")));
    tokens.push_back(scheduler.repeat(15ms, [&] { fired.push_back("r" + std::to_string(scheduler.now().count())); }));
    tokens.push_back(scheduler.schedule(10ms, [&] {
        fired.push_back("10b");
        // Scheduled while advancing and due before the end: runs in the same advance.
        tokens.push_back(scheduler.schedule(5ms, log("nested15")));
    }));
    tokens.push_back(scheduler.schedule(50ms, log("50")));

    scheduler.advance(9ms);
    EXPECT_TRUE(fired.empty());
    scheduler.advance(31ms);
    EXPECT_EQ(fired, (std::vector<std::string>{"10a", "10b", "r15", "nested15", "30", "r30"}));
    EXPECT_EQ(scheduler.now(), 40ms);
    EXPECT_FALSE(tokens[0].isActive()) << "a one-shot that fired";
    EXPECT_TRUE(tokens[2].isActive()) << "a repeating one";
    EXPECT_EQ(scheduler.pendingCount(), 2);
}

TEST(Scheduler, FakeNeverRunsCancelledCallbacks)
{
    fakes::FakeScheduler scheduler;
    int fired = 0, ticks = 0;
    SchedulerToken cancelled = scheduler.schedule(10ms, [&] { ++fired; });
    cancelled.cancel();
    { SchedulerToken dropped = scheduler.schedule(10ms, [&] { ++fired; }); }  // destroyed: cancelled
    SchedulerToken replaced = scheduler.schedule(10ms, [&] { ++fired; });
    replaced = scheduler.schedule(20ms, [&] { fired += 100; });  // the newest wins
    // Due at the same moment as an earlier callback that cancels it.
    SchedulerToken victim;
    SchedulerToken killer = scheduler.schedule(30ms, [&] { victim.cancel(); });
    victim = scheduler.schedule(30ms, [&] { fired += 1000; });
    SchedulerToken ticker = scheduler.repeat(5ms, [&] { if (++ticks == 3) ticker.cancel(); });  // stops itself
    SchedulerToken moved = scheduler.schedule(1ms, [&] { fired += 10000; });
    SchedulerToken target = std::move(moved);  // moving keeps it alive

    scheduler.advance(100ms);
    EXPECT_EQ(fired, 10100);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(scheduler.pendingCount(), 0);
}

TEST(Scheduler, QtSchedulerFiresAndCancelsOnTheEventLoop)
{
    platform::QtScheduler scheduler;
    int once = 0, cancelled = 0, ticks = 0;
    SchedulerToken a = scheduler.schedule(1ms, [&] { ++once; });
    SchedulerToken b = scheduler.schedule(1ms, [&] { ++cancelled; });
    SchedulerToken c = scheduler.repeat(1ms, [&] { if (++ticks == 3) c.cancel(); });
    b.cancel();
    ASSERT_TRUE(testsupport::spinUntil([&] { return once == 1 && ticks >= 3; }));
    testsupport::spinFor(50ms);  // room for a call that must not come
    EXPECT_EQ(once, 1);
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(a.isActive());
}

// Requests in one turn give one run on the next; a run still queued when its OncePerTurn
// or its context goes never happens (the owner that made it may be gone too).
TEST(OncePerTurn, RunsOncePerTurnAndNeverAfterItOrItsContextIsGone)
{
    int runs = 0;
    QObject context;
    platform::OncePerTurn once(&context, [&runs] { ++runs; });
    once.request();
    once.request();
    EXPECT_EQ(runs, 0) << "never within the request";
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 1);
    once.request();
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 2);

    int droppedRuns = 0;
    auto dropped = std::make_unique<platform::OncePerTurn>(&context, [&droppedRuns] { ++droppedRuns; });
    dropped->request();
    dropped.reset();
    auto gone = std::make_unique<QObject>();
    platform::OncePerTurn orphan(gone.get(), [&droppedRuns] { ++droppedRuns; });
    orphan.request();
    gone.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(droppedRuns, 0);
    EXPECT_EQ(runs, 2);
}

TEST(Painting, CoreGraphicsArcsBecomeQtArcs)
{
    constexpr double pi = std::numbers::pi;
    const QPointF c(13, 13), head(13, 12.6);
    const struct {
        const char* name;
        QPointF centre;
        double radius, start, end;
        bool clockwise;
        double sweep;  // radians, positive = clockwise on screen (y down)
    } cases[] = {
        {"holder below the head", head, 4.8, pi, 0, true, -pi},
        {"counter-clockwise flag, end below start: over the top", head, 4.8, pi, 0, false, pi},
        {"progress from the top, a quarter", c, 10, -pi / 2, 0.25 * 2 * pi - pi / 2, false, pi / 2},
        {"progress full circle", c, 10, -pi / 2, 2 * pi - pi / 2, false, 2 * pi},
        {"spinner at zero", c, 6, 0, 2, false, 2},
        {"spinner after many turns", c, 6, 1000 * pi + 1, 1000 * pi + 3, false, 2},
        {"clockwise with the end after the start wraps", c, 6, 0, pi / 2, true, pi / 2 - 2 * pi},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        QPainterPath path;
        Painting::cgArc(path, k.centre, k.radius, k.start, k.end, k.clockwise);
        // The sweep runs from the start angle; y-down angles grow clockwise on screen.
        for (const double share : {0.0, 0.5}) {
            const double angle = k.start + share * k.sweep;
            const QPointF expected = k.centre + k.radius * QPointF(std::cos(angle), std::sin(angle));
            EXPECT_NEAR(QLineF(path.pointAtPercent(share), expected).length(), 0, 0.085) << share;
        }
        EXPECT_NEAR(path.length(), std::abs(k.sweep) * k.radius, 0.003 * path.length());
    }
}

TEST(Painting, ShadowFallsDownAndTheShapeStaysOnTop)
{
    for (const qreal ratio : {1.0, 2.0}) {
        const QRectF disc(10, 10, 20, 20);
        const platform::Shadow shadow{QColor(0, 0, 0, 128), 3, platform::Shadow::fromCoreGraphicsOffset({0, -3})};
        const QImage image = uitest::render({40, 40}, ratio, [&](QPainter& painter) {
            Painting::drawWithShadow(painter, disc, shadow, [&](QPainter& p) {
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(255, 0, 0));
                p.drawEllipse(disc);
            });
        });
        const auto alphaAt = [&](qreal x, qreal y) { return uitest::at(image, {x, y}).alpha(); };
        EXPECT_EQ(uitest::at(image, {20, 20}), QColor(255, 0, 0)) << ratio;
        EXPECT_GT(alphaAt(20, 32), 3 * alphaAt(20, 8) + 10) << "below, not above, ratio " << ratio;
        EXPECT_EQ(alphaAt(2, 2), 0) << ratio;
    }
}

TEST(Painting, OpacityLayerFadesTheComposedShapesAndFontsArePointSizedFromPixels)
{
    const QImage image = uitest::render({20, 10}, 1, [](QPainter& painter) {
        painter.fillRect(QRectF(0, 0, 20, 10), Qt::white);
        Painting::drawWithOpacity(painter, QRectF(0, 0, 20, 10), 0.5, [](QPainter& p) {
            p.fillRect(QRectF(0, 0, 20, 10), Qt::red);
            p.fillRect(QRectF(10, 0, 10, 10), Qt::blue);
        });
    });
    // Half blue over white: the red beneath the blue must not show through.
    EXPECT_NEAR(image.pixelColor(15, 5).red(), 128, 2);
    EXPECT_NEAR(image.pixelColor(5, 5).green(), 128, 2);

    const QFont font = Painting::font(11.5, platform::FontWeight::semibold, 96);
    EXPECT_DOUBLE_EQ(font.pointSizeF(), 11.5 * 0.75);
    EXPECT_EQ(font.weight(), QFont::DemiBold);
    EXPECT_NEAR(QFontInfo(Painting::font(12)).pixelSize(), 12, 0.5) << "at the screen's own resolution";
}

TEST(ScreenProvider, FakeScreensAnswerContainmentAndIntersection)
{
    // A primary screen and a second one to its right that stands 200 higher (y up).
    const FakeScreenProvider two({FakeScreenProvider::screen({0, 0, 1440, 900}, 25, 60),
                                  FakeScreenProvider::screen({1440, 200, 1920, 1080}, 0, 0, 2.0)},
                                 {100, 100});
    EXPECT_EQ(two.primaryScreen()->availableArea, QRectF(0, 60, 1440, 815));
    // Left and bottom edges belong to a screen, right and top edges do not.
    const QRectF left(0, 0, 1440, 900), right(1440, 200, 1920, 1080), nowhere;
    const std::pair<QPointF, QRectF> cases[] = {{{0, 0}, left},         {{1439.9, 899.9}, left}, {{1440, 500}, right},
                                                {{1440, 100}, nowhere}, {{1440, 1280}, nowhere}, {{-1, 10}, nowhere}};
    for (const auto& [point, frame] : cases)
        EXPECT_EQ(two.screenContaining(point).value_or(platform::ScreenInfo{}).frame, frame) << point.x() << "," << point.y();
    EXPECT_EQ(two.screenIntersecting({1400, 300, 100, 10})->frame, left);  // the first wins
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
