#include <QGuiApplication>
#include <QPalette>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "KorvuDarivir/UI/Theme.h"

using korvu::Theme;
using platform::Appearance;
using platform::AppearanceMonitor;

TEST(Theme, ColoursFollowThePaletteAndTheOverride)
{
    // A colour resolves per appearance, with its alpha built from a float.
    EXPECT_EQ(Theme::sel.resolve(Appearance::light).rgb() & 0xFFFFFF, 0x4C4084u);
    EXPECT_NEAR(Theme::sel.resolve(Appearance::dark).alphaF(), 0.22, 1.0 / 255);
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    light.setColor(QPalette::WindowText, Qt::black);
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, QColor(0xE0, 0xE0, 0xE0));
    QPalette unknown;
    unknown.setColor(QPalette::Window, QColor());
    EXPECT_EQ(AppearanceMonitor::fromPalette(unknown), Appearance::light);

    AppearanceMonitor& monitor = AppearanceMonitor::shared();
    const QPalette original = QGuiApplication::palette();
    QSignalSpy changes(&monitor, &AppearanceMonitor::changed);
    QGuiApplication::setPalette(light);
    QGuiApplication::setPalette(dark);
    EXPECT_EQ(Theme::text.current().rgb() & 0xFFFFFF, 0xF1F2F2u);
    ASSERT_FALSE(changes.isEmpty());
    EXPECT_EQ(changes.last().at(0).value<Appearance>(), Appearance::dark);

    monitor.setOverride(Appearance::light);
    EXPECT_EQ(changes.last().at(0).value<Appearance>(), Appearance::light);
    monitor.setOverride(std::nullopt);
    EXPECT_EQ(AppearanceMonitor::current(), Appearance::dark);
    QGuiApplication::setPalette(original);
}
