// The application's drawings, colours and styled widgets, rendered with Qt's offscreen
// platform and probed pixel by pixel.
#include "KorvuDarivir/UI/BrandToggle.h"
#include "KorvuDarivir/UI/MicButtonDrawing.h"
#include "KorvuDarivir/UI/PrimaryButton.h"
#include "KorvuDarivir/UI/StatusIcon.h"
#include "KorvuDarivir/UI/StatusItemController.h"
#include "KorvuDarivir/UI/Theme.h"
#include "Platform/UI/Appearance.h"
#include "fakes/FakeScheduler.h"
#include "Rendering.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QPalette>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace korvu;
using namespace uitest;
using namespace std::chrono_literals;
using platform::Appearance;
using platform::AppearanceMonitor;

namespace {

int alphaAt(const QImage& image, double x, double y) { return at(image, {x, y}).alpha(); }

// The button at 38 points and ratio 2: glyph point g lies at logical 6 + g.
QImage button(const MicButtonState& state, double level = 0, double spin = 0, bool hovering = false)
{
    return render({38, 38}, 2, [&](QPainter& p) { MicButtonDrawing::draw(p, QRectF(0, 0, 38, 38), state, hovering, level, spin); });
}

QColor glyph(const QImage& image, double gx, double gy) { return at(image, {6 + gx, 6 + gy}); }

struct ForcedAppearance {
    explicit ForcedAppearance(Appearance a) { platform::AppearanceMonitor::shared().setOverride(a); }
    ~ForcedAppearance() { platform::AppearanceMonitor::shared().setOverride(std::nullopt); }
};

// How many pixels of `icon`, laid over a panel of `panel`, stand out from it: their
// brightness differs from the panel's by at least 40 %.
int standingOut(const QImage& icon, const QColor& panel)
{
    QImage shown(icon.size(), QImage::Format_RGB32);
    shown.fill(panel);
    QPainter(&shown).drawImage(QPoint(), icon.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    const int background = qGray(panel.rgb());
    int count = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            count += std::abs(qGray(shown.pixel(x, y)) - background) >= 102 ? 1 : 0;
        }
    }
    return count;
}

}  // namespace

// The tray's icons as handed to the tray, at every size they hold, whatever the
// application's palette says: nothing tells the panel's colour, so each must show on a
// black panel as well as on a white one.
TEST(Drawings, TrayIconsShowOnDarkAndLightPanels)
{
    const std::pair<const char*, StatusIconChoice> choices[] = {
        {"bars", {StatusIconChoice::Kind::bars, 0}},
        {"dots", {StatusIconChoice::Kind::dots, 0}},
        {"ring at 0", {StatusIconChoice::Kind::ring, 0}},
        {"ring at half", {StatusIconChoice::Kind::ring, 0.5}},
        {"badge", {StatusIconChoice::Kind::barsWithBadge, 0}},
        {"record dot", {StatusIconChoice::Kind::recordDot, 0}},
    };
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
        const ForcedAppearance forced(appearance);
        for (const auto& [name, choice] : choices) {
            const QIcon icon = statusIconImage(choice);
            ASSERT_FALSE(icon.availableSizes().isEmpty()) << name;
            for (const QSize size : icon.availableSizes()) {
                const QImage image = icon.pixmap(size).toImage();
                const int onBlack = standingOut(image, Qt::black), onWhite = standingOut(image, Qt::white);
                const auto where = [&, name = name] {
                    return testing::Message() << name << " at " << size.width() << " px, "
                                              << (appearance == Appearance::dark ? "dark" : "light") << " palette: "
                                              << onBlack << " on black, " << onWhite << " on white";
                };
                EXPECT_GE(onBlack, size.width() * size.height() / 64) << where();
                EXPECT_GE(onWhite, size.width() * size.height() / 64) << where();
            }
        }
    }
    // The images that keep their colours are not rimmed: the record dot's edge stays clear.
    const QImage dot = StatusIcon::recordDot().squareImage(Qt::black, 2);
    EXPECT_TRUE(sameColour(at(dot, {8, 8}), 0xFFEE3F23));
    EXPECT_LT(at(dot, {3, 8}).alpha(), 20);
}

// Every drawn look at ratio 2, probed at points in logical pixels. An expected colour of
// alpha 0 asks for a transparent pixel.
TEST(Drawings, EachLookAtItsProbes)
{
    constexpr QRgb clear = 0, white = 0xFFFFFFFF, black = 0xFF000000, red = 0xFFEE3F23, brand = 0xFF4C4084,
                   track = 0xFFDDDAE8;
    const QColor tray = StatusIcon::trayForeground(Appearance::dark);
    const auto g = [](double x, double y) { return QPointF(6 + x, 6 + y); };  // a point of the button's glyph
    using Probes = std::vector<std::pair<QPointF, QRgb>>;
    const std::tuple<const char*, QImage, Probes> looks[] = {
        // The middle bar is 14 high, the outer ones 5.
        {"bars", StatusIcon::bars(false).image2x, {{{1, 8}, black}, {{2.75, 8}, clear}, {{8, 1.5}, black}, {{1, 4.5}, clear}}},
        {"dots on the tray", StatusIcon::dots().squareImage(tray, 2), {{{8, 8}, white}, {{5, 8}, clear}}},
        {"badge on the tray", StatusIcon::bars(true, tray).squareImage(tray, 2), {{{11.2, 6}, red}}},
        {"record dot on the tray", StatusIcon::recordDot().squareImage(tray, 2), {{{8, 8}, red}, {{1, 1}, clear}}},
        {"ring at half", StatusIcon::ring(0.5).image2x, {{{8.4, 2}, black}, {{14, 8}, black}}},
        {"button idle", button(MicButtonState::idle), {{g(5, 13), brand}, {g(13, 8), white}, {g(13, 19), white}}},
        {"button hover", button(MicButtonState::hover), {{g(5, 13), 0xFF7567A1}, {g(13, 8), white}}},
        {"button load", button(MicButtonState::load(0.25)), {{g(5, 13), brand}, {g(20.1, 5.9), track}}},
        {"button rec", button(MicButtonState::rec), {{g(5, 13), red}, {g(13, 13), white}}},
        {"button proc", button(MicButtonState::proc), {{g(5, 13), track}, {g(13 + 6 * std::cos(1.0), 13 + 6 * std::sin(1.0)), brand}}},
        {"button ok", button(MicButtonState::ok), {{g(5, 13), 0xFFB6CFAE}, {g(11.4, 16.5), 0xFF1F3D1B}}},
        {"button err", button(MicButtonState::err), {{g(5, 13), 0xFFF1F2F2}, {g(13, 10), 0xFFC8321A}, {g(13, 18.4), 0xFFC8321A}}},
    };
    for (const auto& [name, image, probes] : looks) {
        for (const auto& [point, colour] : probes) {
            if (qAlpha(colour) == 0) {
                EXPECT_LT(at(image, point).alpha(), 20) << name << " at " << point.x() << "," << point.y();
            } else {
                EXPECT_TRUE(sameColour(at(image, point), colour)) << name << " at " << point.x() << "," << point.y();
            }
        }
        if (!QString(name).startsWith("button")) continue;
        // The button's shadow falls below: the column under the glyph holds more alpha than
        // the same band above it (the halo of rec is symmetric and adds to both).
        int below = 0, above = 0;
        for (double d = 0; d < 6; d += 0.5) {
            below += glyph(image, 13, 26 + d).alpha();
            above += glyph(image, 13, -0.5 - d).alpha();
        }
        EXPECT_GT(below, above + 100) << name;
    }
}

TEST(Drawings, StatusIconsAreTemplatesOrKeepTheirColoursAndTheRingIsClamped)
{
    const StatusImage badge = StatusIcon::bars(true, Qt::white);
    EXPECT_TRUE(StatusIcon::bars(false).isTemplate && StatusIcon::dots().isTemplate && StatusIcon::ring(0.42).isTemplate);
    EXPECT_FALSE(badge.isTemplate || StatusIcon::recordDot().isTemplate);
    EXPECT_NEAR(alphaAt(badge.image2x, 1, 8) / 255.0, 0.4, 0.01);  // dimmed bars

    const QImage none = StatusIcon::ring(0).image2x;
    EXPECT_EQ(StatusIcon::ring(-3).image2x, none);
    EXPECT_EQ(alphaAt(none, 8.4, 2), 255);  // a 5 % sliver right of the top
    EXPECT_LT(alphaAt(none, 14, 8), 128);   // track only
    EXPECT_NEAR(alphaAt(StatusIcon::ring(0.5).image2x, 2, 8) / 255.0, 0.25, 0.05);
    EXPECT_EQ(StatusIcon::ring(std::numeric_limits<double>::quiet_NaN()).image2x, StatusIcon::ring(1).image2x);
    EXPECT_EQ(alphaAt(StatusIcon::ring(1).image2x, 2, 8), 255);
}

TEST(MicButtonDrawing, HoverProgressAndEdgeCases)
{
    // Idle under the pointer is hover, and hover grows by 8 %.
    EXPECT_EQ(button(MicButtonState::idle, 0, 0, true), button(MicButtonState::hover));
    EXPECT_EQ(glyph(button(MicButtonState::hover), 26.4, 13).alpha(), 255);
    EXPECT_LT(glyph(button(MicButtonState::idle), 26.4, 13).alpha(), 128);

    // No progress draws only the track; more than one closes the circle as one does.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const QImage empty = button(MicButtonState::load(0));
    EXPECT_FALSE(sameColour(glyph(empty, 23, 13), 0xDDDAE8, 20));
    EXPECT_EQ(button(MicButtonState::load(nan)), empty);
    EXPECT_EQ(button(MicButtonState::load(-0.3)), empty);
    const QImage half = button(MicButtonState::load(0.5));
    EXPECT_TRUE(sameColour(glyph(half, 13, 23), 0xDDDAE8));
    EXPECT_FALSE(sameColour(glyph(half, 3, 13), 0xDDDAE8, 20));
    const QImage full = button(MicButtonState::load(1));
    EXPECT_TRUE(sameColour(glyph(full, 3, 13), 0xDDDAE8));
    EXPECT_EQ(button(MicButtonState::load(1.7)), full);

    // The halo: radius 15 for silence, radius 18 at alpha 0.9 for a full level (its own faint
    // shadow adds a little); levels outside 0...1 stay in the view.
    EXPECT_LT(glyph(button(MicButtonState::rec, 0), 31, 13).alpha(), 20);
    EXPECT_NEAR(glyph(button(MicButtonState::rec, 1), 31, 13).alphaF(), 0.9, 0.06);
    EXPECT_EQ(button(MicButtonState::rec, 7), button(MicButtonState::rec, 1));
    EXPECT_EQ(button(MicButtonState::rec, nan), button(MicButtonState::rec, 0));

    // The spinner runs from its angle clockwise for 2 radians, at any number of turns.
    const QImage spin0 = button(MicButtonState::proc, 0, 0);
    EXPECT_FALSE(sameColour(glyph(spin0, 13 + 6 * std::cos(-1.0), 13 + 6 * std::sin(-1.0)), 0x4C4084, 20));
    EXPECT_EQ(button(MicButtonState::proc, 0, 0.5 + 400 * M_PI), button(MicButtonState::proc, 0, 0.5));
}

TEST(ButtonStyle, TheWholePaddedRectangleClicks)
{
    PrimaryButton primary(QStringLiteral("OK"));
    primary.resize(primary.sizeHint());
    QSignalSpy clicks(&primary, &QPushButton::clicked);
    QTest::mouseClick(&primary, Qt::LeftButton, {}, QPoint(1, 1));  // outside the rounded corner
    QTest::keyClick(&primary, Qt::Key_Space);
    EXPECT_EQ(clicks.count(), 2);
    // Keyboard focus shows a ring at the edge; focus from a click does not.
    primary.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&primary));
    const auto edge = [&] { return at(grab(primary, 1), {1.0, primary.height() / 2.0}); };
    const QColor unfocused = edge();
    primary.setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(edge(), unfocused);
    primary.clearFocus();
    primary.setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(sameColour(edge(), primary.palette().color(QPalette::Highlight).rgb() & 0xFFFFFF, 40));
}

TEST(Toggle, KnobSlidesWithEaseOutAndTheSwitchActsAsANamedButton)
{
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
        const ForcedAppearance forced(appearance);
        fakes::FakeScheduler scheduler;
        BrandToggle toggle(QStringLiteral("Beim Anmelden starten"), scheduler);
        toggle.resize(toggle.sizeHint());
        const QImage before = grab(toggle, 2);
        EXPECT_TRUE(sameColour(at(before, {10, 10}), 0xFFFFFF));
        EXPECT_TRUE(sameColour(at(before, {25, 10}), appearance == Appearance::dark ? 0x4A4655 : 0xD9D6E2));

        QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(33, 0));  // the capsule's empty corner
        EXPECT_TRUE(toggle.isChecked());
        EXPECT_EQ(grab(toggle, 2), before);  // nothing moves before time passes
        scheduler.advance(75ms);
        EXPECT_TRUE(toggle.knobPosition() > 0.6 && toggle.knobPosition() < 1) << "ease-out: past the middle at half time";
        scheduler.advance(85ms);  // the first 16 ms frame at or after 150 ms ends the slide
        EXPECT_EQ(toggle.knobPosition(), 1.0);
        EXPECT_EQ(scheduler.pendingCount(), 0);
        const QImage after = grab(toggle, 2);
        EXPECT_TRUE(sameColour(at(after, {24, 10}), 0xFFFFFF));
        EXPECT_TRUE(sameColour(at(after, {9, 10}), appearance == Appearance::dark ? 0x7567A1 : 0x4C4084));

        QTest::keyClick(&toggle, Qt::Key_Space);
        scheduler.advance(160ms);
        EXPECT_EQ(toggle.knobPosition(), 0.0);
        toggle.setEnabled(false);
        EXPECT_NEAR(at(grab(toggle, 2), {27, 10}).alphaF(), 0.5, 0.01);
        // Screen readers see a named, checked switch.
        toggle.setChecked(true);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&toggle);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("Beim Anmelden starten"));
        EXPECT_TRUE(accessible->state().checkable && accessible->state().checked);
    }
}

TEST(Theme, ColoursFollowThePaletteAndTheOverride)
{
    EXPECT_NEAR(Theme::sel.resolve(Appearance::dark).alphaF(), 0.22, 1.0 / 255);  // alpha built from a float
    AppearanceMonitor& monitor = AppearanceMonitor::shared();
    const QPalette original = QGuiApplication::palette();
    QSignalSpy changes(&monitor, &AppearanceMonitor::changed);
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, QColor(0xE0, 0xE0, 0xE0));
    QGuiApplication::setPalette(dark);
    EXPECT_EQ(Theme::text.current().rgb() & 0xFFFFFF, 0xF1F2F2u);
    ASSERT_FALSE(changes.isEmpty());
    monitor.setOverride(Appearance::light);
    EXPECT_EQ(changes.last().at(0).value<Appearance>(), Appearance::light);
    monitor.setOverride(std::nullopt);
    EXPECT_EQ(AppearanceMonitor::current(), Appearance::dark);
    QGuiApplication::setPalette(original);
}
