#include <QGuiApplication>
#include <QPalette>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "KorvuDarivir/UI/Theme.h"

using korvu::Theme;
using platform::Appearance;
using platform::AppearanceMonitor;

namespace {

// 8-bit channels and an alpha within one step: alpha colours are built from floats.
void expectColour(const QColor& actual, QRgb rgb, double alpha, const char* name)
{
    EXPECT_EQ(actual.rgb() & 0xFFFFFF, rgb) << name;
    EXPECT_NEAR(actual.alphaF(), alpha, 1.0 / 255) << name;
}

}  // namespace

TEST(Theme, EveryColourInBothAppearancesAndTheBrand)
{
    struct Case {
        const char* name;
        const korvu::Dyn& colour;
        QRgb light;
        double lightAlpha;
        QRgb dark;
        double darkAlpha;
    };
    const Case cases[] = {
        {"win", Theme::win, 0xF7F6FA, 1, 0x1F1D25, 1}, {"side", Theme::side, 0xEEECF3, 1, 0x24212B, 1},
        {"card", Theme::card, 0xFFFFFF, 1, 0x2A2731, 1}, {"text", Theme::text, 0x1D1A26, 1, 0xF1F2F2, 1},
        {"sub", Theme::sub, 0x625D74, 1, 0xA9A4B8, 1}, {"line", Theme::line, 0x1D1A26, 0.10, 0xFFFFFF, 0.10},
        {"field", Theme::field, 0xFFFFFF, 1, 0x2F2C37, 1},
        {"fieldLine", Theme::fieldLine, 0x1D1A26, 0.18, 0xFFFFFF, 0.16},
        {"accent", Theme::accent, 0x4C4084, 1, 0x7567A1, 1}, {"sel", Theme::sel, 0x4C4084, 0.12, 0x9D90CF, 0.22},
        {"selText", Theme::selText, 0x4C4084, 1, 0xC9C1EA, 1}, {"seg", Theme::seg, 0xECEAF2, 1, 0x35323D, 1},
        {"kbd", Theme::kbd, 0xFFFFFF, 1, 0x35323D, 1}, {"toggleOff", Theme::toggleOff, 0xD9D6E2, 1, 0x4A4655, 1},
        {"hud", Theme::hud, 0xFFFFFF, 0.98, 0x2F2C37, 0.98}, {"tooltip", Theme::tooltip, 0xF5F4F7, 1, 0x3A3743, 1},
        {"okBg", Theme::okBg, 0xB6CFAE, 0.45, 0xB6CFAE, 0.18}, {"okText", Theme::okText, 0x2F5A2A, 1, 0xB6CFAE, 1},
        {"wall", Theme::wall, 0xCFCBDD, 1, 0x2E2A3A, 1}, {"menuBar", Theme::menuBar, 0xF6F5FA, 0.92, 0x1E1C24, 0.92},
        {"logo", Theme::logo, 0x5A2484, 1, 0xF1F2F2, 1}, {"danger", Theme::danger, 0xC8321A, 1, 0xC8321A, 1},
        {"recording", Theme::recording, 0xEE3F23, 1, 0xEE3F23, 1},
        {"brand", {korvu::Brand::readyDot, korvu::Brand::darkGreen}, 0x5E8F57, 1, 0x2F5A2A, 1},
    };
    for (const Case& k : cases) {
        expectColour(k.colour.resolve(Appearance::light), k.light, k.lightAlpha, k.name);
        expectColour(k.colour.resolve(Appearance::dark), k.dark, k.darkAlpha, k.name);
    }
}

TEST(Theme, FollowsThePaletteAndTheOverride)
{
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
