#include <cmath>
#include <numbers>

#include <QFontInfo>

#include <gtest/gtest.h>

#include "Platform/UI/Painting.h"
#include "../../KorvuDarivir/UI/Rendering.h"  // the one set of rendering helpers

using platform::Painting;

namespace {

constexpr double pi = std::numbers::pi;

QPointF onCircle(QPointF c, double r, double angle) { return c + r * QPointF(std::cos(angle), std::sin(angle)); }

void expectNear(QPointF actual, QPointF expected, const char* what)
{
    EXPECT_NEAR(actual.x(), expected.x(), 0.06) << what;
    EXPECT_NEAR(actual.y(), expected.y(), 0.06) << what;
}

}  // namespace

TEST(Painting, CoreGraphicsArcsBecomeQtArcs)
{
    const QPointF c(13, 13);
    struct Case {
        const char* name;
        QPointF centre;
        double radius, start, end;
        bool clockwise;
        double expectedSweep;  // radians, positive = clockwise on screen (y down)
    };
    const Case cases[] = {
        {"holder below the head", {13, 12.6}, 4.8, pi, 0, true, -pi},
        {"counter-clockwise flag, end below start: over the top", {13, 12.6}, 4.8, pi, 0, false, pi},
        {"progress from the top, a quarter", c, 10, -pi / 2, 0.25 * 2 * pi - pi / 2, false, pi / 2},
        {"progress full circle", c, 10, -pi / 2, 2 * pi - pi / 2, false, 2 * pi},
        {"spinner at zero", c, 6, 0, 2, false, 2},
        {"spinner after many turns", c, 6, 1000 * pi + 1, 1000 * pi + 3, false, 2},
        {"clockwise with the end after the start wraps", c, 6, 0, pi / 2, true, pi / 2 - 2 * pi},
    };
    for (const Case& k : cases) {
        QPainterPath path;
        Painting::cgArc(path, k.centre, k.radius, k.start, k.end, k.clockwise);
        // The sweep that Core Graphics draws runs from the start angle; y-down angles grow
        // clockwise on screen.
        expectNear(path.pointAtPercent(0), onCircle(k.centre, k.radius, k.start), k.name);
        expectNear(path.pointAtPercent(0.5), onCircle(k.centre, k.radius, k.start + k.expectedSweep / 2), k.name);
        EXPECT_NEAR(path.length(), std::abs(k.expectedSweep) * k.radius, 0.003 * path.length()) << k.name;
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
        EXPECT_GT(alphaAt(20, 32), 20) << "below, ratio " << ratio;
        EXPECT_LT(alphaAt(20, 8), 8) << "above, ratio " << ratio;
        EXPECT_GT(alphaAt(20, 32), 3 * alphaAt(20, 8) + 10) << ratio;
        EXPECT_EQ(alphaAt(2, 2), 0) << ratio;
    }
}

TEST(Painting, OpacityLayerFadesTheComposedShapes)
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
}

TEST(Painting, FontsArePointSizedFromPixels)
{
    const QFont font = Painting::font(11.5, platform::FontWeight::semibold, 96);
    EXPECT_DOUBLE_EQ(font.pointSizeF(), 11.5 * 0.75);
    EXPECT_EQ(font.weight(), QFont::DemiBold);
    // At the screen's own resolution the size comes back in pixels.
    EXPECT_NEAR(QFontInfo(Painting::font(12)).pixelSize(), 12, 0.5);
}
