#include <QAccessible>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "KorvuDarivir/UI/BrandToggle.h"
#include "KorvuDarivir/UI/PrimaryButton.h"
#include "KorvuDarivir/UI/SecondaryButton.h"
#include "Platform/UI/Appearance.h"
#include "Platform/UI/FakeScheduler.h"
#include "Rendering.h"

using namespace std::chrono_literals;
using platform::Appearance;

namespace {

struct ForcedAppearance {
    explicit ForcedAppearance(Appearance a) { platform::AppearanceMonitor::shared().setOverride(a); }
    ~ForcedAppearance() { platform::AppearanceMonitor::shared().setOverride(std::nullopt); }
};

// The lightest pixel of the middle row: the label's strokes on a darker fill.
int lightestLabelPixel(const QImage& image)
{
    int best = 0;
    for (int x = 0; x < image.width(); ++x) {
        best = std::max(best, image.pixelColor(x, image.height() / 2).lightness());
    }
    return best;
}

}  // namespace

TEST(ButtonStyle, FillsLabelsDisabledAndPressedInBothAppearances)
{
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
        const ForcedAppearance forced(appearance);
        const bool dark = appearance == Appearance::dark;
        korvu::PrimaryButton primary(QStringLiteral("Weiter"));
        korvu::SecondaryButton secondary(QStringLiteral("Abbrechen"));
        primary.resize(primary.sizeHint());
        secondary.resize(secondary.sizeHint());
        const QPointF fill(8, primary.height() / 2.0);

        // Name, button, enabled, down, fill (none: not probed), opacity, least label lightness.
        const std::tuple<const char*, QPushButton&, bool, bool, QRgb, double, int> looks[] = {
            {"Primary", primary, true, false, dark ? 0x7567A1u : 0x4C4084u, 1.0, 240},
            {"PrimaryDisabled", primary, false, false, dark ? 0x4A4655u : 0xD9D6E2u, 1.0, 240},  // still white text
            {"PrimaryPressed", primary, true, true, 0, 0.8, 0},
            {"Secondary", secondary, true, false, dark ? 0x35323Du : 0xECEAF2u, 1.0, dark ? 200 : 0},
            {"SecondaryPressed", secondary, true, true, 0, 0.75, 0},
        };
        for (const auto& [name, button, enabled, down, colour, alpha, label] : looks) {
            button.setEnabled(enabled);
            button.setDown(down);
            const QImage image = uitest::grab(button, 2);
            if (colour != 0) { EXPECT_TRUE(uitest::sameColour(uitest::at(image, fill), colour)) << name; }
            // Pressed, the whole button fades as one layer.
            EXPECT_NEAR(uitest::at(image, fill).alphaF(), alpha, 0.01) << name;
            EXPECT_GE(lightestLabelPixel(image), label) << name;
        }
    }
}

TEST(ButtonStyle, TheWholePaddedRectangleClicks)
{
    korvu::PrimaryButton primary(QStringLiteral("OK"));
    korvu::SecondaryButton secondary(QStringLiteral("Nein"));
    for (QPushButton* button : std::initializer_list<QPushButton*>{&primary, &secondary}) {
        button->resize(button->sizeHint());
        QSignalSpy clicks(button, &QPushButton::clicked);
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(1, 1));  // outside the rounded corner
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(button->width() - 2, button->height() / 2));
        QTest::keyClick(button, Qt::Key_Space);
        EXPECT_EQ(clicks.count(), 3);
    }
    // Keyboard focus shows a ring at the edge; focus from a click does not.
    primary.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&primary));
    const auto edge = [&] { return uitest::at(uitest::grab(primary, 1), {1.0, primary.height() / 2.0}); };
    const QColor unfocused = edge();
    primary.setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(edge(), unfocused);
    primary.clearFocus();
    primary.setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(uitest::sameColour(edge(), primary.palette().color(QPalette::Highlight).rgb() & 0xFFFFFF, 40));
}

TEST(Toggle, KnobSlidesWithEaseOutAndTheSwitchActsAsANamedButton)
{
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
        const ForcedAppearance forced(appearance);
        platform::FakeScheduler scheduler;
        korvu::BrandToggle toggle(QStringLiteral("Beim Anmelden starten"), scheduler);
        toggle.resize(toggle.sizeHint());
        const QImage before = uitest::grab(toggle, 2);
        EXPECT_TRUE(uitest::sameColour(uitest::at(before, {10, 10}), 0xFFFFFF));
        EXPECT_TRUE(uitest::sameColour(uitest::at(before, {25, 10}), appearance == Appearance::dark ? 0x4A4655 : 0xD9D6E2));

        QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(33, 0));  // the capsule's empty corner
        EXPECT_TRUE(toggle.isChecked());
        EXPECT_EQ(uitest::grab(toggle, 2), before);  // nothing moves before time passes
        scheduler.advance(75ms);
        EXPECT_TRUE(toggle.knobPosition() > 0.6 && toggle.knobPosition() < 1) << "ease-out: past the middle at half time";
        scheduler.advance(85ms);  // the first 16 ms frame at or after 150 ms ends the slide
        EXPECT_EQ(toggle.knobPosition(), 1.0);
        EXPECT_EQ(scheduler.pendingCount(), 0);
        const QImage after = uitest::grab(toggle, 2);
        EXPECT_TRUE(uitest::sameColour(uitest::at(after, {24, 10}), 0xFFFFFF));
        EXPECT_TRUE(uitest::sameColour(uitest::at(after, {9, 10}), appearance == Appearance::dark ? 0x7567A1 : 0x4C4084));

        QTest::keyClick(&toggle, Qt::Key_Space);
        scheduler.advance(160ms);
        EXPECT_EQ(toggle.knobPosition(), 0.0);
        toggle.setEnabled(false);
        EXPECT_NEAR(uitest::at(uitest::grab(toggle, 2), {27, 10}).alphaF(), 0.5, 0.01);
        // Screen readers see a named, checked switch.
        toggle.setChecked(true);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&toggle);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("Beim Anmelden starten"));
        EXPECT_TRUE(accessible->state().checkable && accessible->state().checked);
    }
}
