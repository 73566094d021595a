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
    EXPECT_NEAR(Theme::sel.resolve(Appearance::dark).alphaF(), 0.22, 1.0 / 255);  // alpha built from a float
    QPalette unknown;
    unknown.setColor(QPalette::Window, QColor());
    EXPECT_EQ(AppearanceMonitor::fromPalette(unknown), Appearance::light);

    AppearanceMonitor& monitor = AppearanceMonitor::shared();
    const QPalette original = QGuiApplication::palette();
    QSignalSpy changes(&monitor, &AppearanceMonitor::changed);
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, QColor(0xE0, 0xE0, 0xE0));
    QGuiApplication::setPalette(dark);
    EXPECT_EQ(Theme::text.current().rgb() & 0xFFFFFF, 0xF1F2F2u);
    ASSERT_FALSE(changes.isEmpty());
    EXPECT_EQ(changes.last().at(0).value<Appearance>(), Appearance::dark);
    monitor.setOverride(Appearance::light);
    EXPECT_EQ(changes.last().at(0).value<Appearance>(), Appearance::light);
    EXPECT_EQ(Theme::text.current().rgb() & 0xFFFFFF, Theme::text.resolve(Appearance::light).rgb() & 0xFFFFFF);
    monitor.setOverride(std::nullopt);
    EXPECT_EQ(AppearanceMonitor::current(), Appearance::dark);
    QGuiApplication::setPalette(original);
}
