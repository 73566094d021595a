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

QString suffix(Appearance a) { return a == Appearance::dark ? "dark" : "light"; }
}  // namespace

TEST(ButtonStyle, FillsLabelsDisabledAndPressedInBothAppearances)
{
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
        const ForcedAppearance forced(appearance);
        const bool dark = appearance == Appearance::dark;
        korvu::PrimaryButton primary(QStringLiteral("Weiter"));
        korvu::SecondaryButton secondary(QStringLiteral("Abbrechen"));
        const QFontMetricsF metrics(primary.font());
        EXPECT_EQ(primary.sizeHint(), QSize(std::ceil(metrics.horizontalAdvance("Weiter")) + 32, std::ceil(metrics.height()) + 12));
        primary.resize(primary.sizeHint());
        secondary.resize(secondary.sizeHint());
        const QPointF fill(8, primary.height() / 2.0);

        struct Look {
            QString name;
            QPushButton& button;
            bool enabled, down;
            QRgb fill;
            double alpha;
            int labelLightness;  // at least
        };
        const Look looks[] = {
            {"Primary", primary, true, false, dark ? 0x7567A1u : 0x4C4084u, 1.0, 240},
            {"PrimaryDisabled", primary, false, false, dark ? 0x4A4655u : 0xD9D6E2u, 1.0, 240},  // still white text
            {"PrimaryPressed", primary, true, true, 0, 0.8, 0},
            {"Secondary", secondary, true, false, dark ? 0x35323Du : 0xECEAF2u, 1.0, dark ? 200 : 0},
            {"SecondaryPressed", secondary, true, true, 0, 0.75, 0},
        };
        for (const Look& look : looks) {
            look.button.setEnabled(look.enabled);
            look.button.setDown(look.down);
            const QImage image = uitest::grabKept(look.button, "ButtonStyle-" + look.name + "-" + suffix(appearance));
            if (look.fill != 0) {
                EXPECT_TRUE(uitest::sameColour(uitest::at(image, fill), look.fill)) << look.name.toStdString();
            }
            // Pressed, the whole button fades as one layer.
            EXPECT_NEAR(uitest::at(image, fill).alphaF(), look.alpha, 0.01) << look.name.toStdString();
            EXPECT_GE(lightestLabelPixel(image), look.labelLightness) << look.name.toStdString();
        }
    }
}

TEST(ButtonStyle, TheWholePaddedRectangleClicks)
{
    korvu::PrimaryButton primary(QStringLiteral("OK"));
    korvu::SecondaryButton secondary(QStringLiteral("Nein"));
    for (QPushButton* button : {static_cast<QPushButton*>(&primary), static_cast<QPushButton*>(&secondary)}) {
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
    const QColor edge = uitest::at(uitest::grab(primary, 1), {1.0, primary.height() / 2.0});
    primary.setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(uitest::at(uitest::grab(primary, 1), {1.0, primary.height() / 2.0}), edge);
    primary.clearFocus();
    primary.setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(uitest::sameColour(uitest::at(uitest::grab(primary, 1), {1.0, primary.height() / 2.0}),
                                   primary.palette().color(QPalette::Highlight).rgb() & 0xFFFFFF, 40));
}

TEST(Toggle, KnobSlidesWithEaseOutAndTheSwitchActsAsANamedButton)
{
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
        const ForcedAppearance forced(appearance);
        platform::FakeScheduler scheduler;
        korvu::BrandToggle toggle(QStringLiteral("Beim Anmelden starten"), scheduler);
        toggle.resize(toggle.sizeHint());
        EXPECT_EQ(toggle.size(), QSize(34, 20));
        const QImage before = uitest::grabKept(toggle, "Toggle-off-" + suffix(appearance));
        EXPECT_TRUE(uitest::sameColour(uitest::at(before, {10, 10}), 0xFFFFFF));
        EXPECT_TRUE(uitest::sameColour(uitest::at(before, {25, 10}), appearance == Appearance::dark ? 0x4A4655 : 0xD9D6E2));

        QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(33, 0));  // the capsule's empty corner
        EXPECT_TRUE(toggle.isChecked());
        EXPECT_EQ(uitest::grab(toggle, 2), before);  // nothing moves before time passes
        scheduler.advance(75ms);
        EXPECT_GT(toggle.knobPosition(), 0.6);  // ease-out: past the middle at half time
        EXPECT_LT(toggle.knobPosition(), 1.0);
        scheduler.advance(85ms);  // the first 16 ms frame at or after 150 ms ends the slide
        EXPECT_EQ(toggle.knobPosition(), 1.0);
        EXPECT_EQ(scheduler.pendingCount(), 0);
        const QImage after = uitest::grabKept(toggle, "Toggle-on-" + suffix(appearance));
        EXPECT_TRUE(uitest::sameColour(uitest::at(after, {24, 10}), 0xFFFFFF));
        EXPECT_TRUE(uitest::sameColour(uitest::at(after, {9, 10}), appearance == Appearance::dark ? 0x7567A1 : 0x4C4084));

        QTest::keyClick(&toggle, Qt::Key_Space);
        scheduler.advance(160ms);
        EXPECT_EQ(toggle.knobPosition(), 0.0);
        toggle.setEnabled(false);
        const QImage disabled = uitest::grabKept(toggle, "Toggle-disabled-" + suffix(appearance));
        EXPECT_NEAR(uitest::at(disabled, {27, 10}).alphaF(), 0.5, 0.01);
        // Screen readers see a named, checked switch.
        toggle.setChecked(true);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&toggle);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("Beim Anmelden starten"));
        EXPECT_TRUE(accessible->state().checkable && accessible->state().checked);
    }
}
