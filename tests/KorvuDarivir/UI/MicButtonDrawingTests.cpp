#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "KorvuDarivir/UI/MicButtonDrawing.h"
#include "Rendering.h"

using korvu::MicButtonDrawing;
using korvu::MicButtonState;

namespace {

// The button at 38 points and ratio 2: glyph point g lies at logical 6 + g.
QImage button(const MicButtonState& state, double level = 0, double spin = 0, bool hovering = false)
{
    return uitest::render({38, 38}, 2, [&](QPainter& p) { MicButtonDrawing::draw(p, QRectF(0, 0, 38, 38), state, hovering, level, spin); });
}

QColor glyph(const QImage& image, double gx, double gy) { return uitest::at(image, {6 + gx, 6 + gy}); }

}  // namespace

TEST(MicButtonDrawing, EachLookAtTheSpecifiedPoints)
{
    constexpr QRgb white = 0xFFFFFF;
    using Probes = std::vector<std::tuple<double, double, QRgb>>;  // glyph point and colour
    const std::tuple<const char*, MicButtonState, Probes> cases[] = {
        {"idle", MicButtonState::idle, {{5, 13, 0x4C4084}, {13, 8, white}, {13, 19, white}}},
        {"hover", MicButtonState::hover, {{5, 13, 0x7567A1}, {13, 8, white}}},
        {"load", MicButtonState::load(0.25), {{5, 13, 0x4C4084}, {20.1, 5.9, 0xDDDAE8}}},
        {"rec", MicButtonState::rec, {{5, 13, 0xEE3F23}, {13, 13, white}}},
        {"proc", MicButtonState::proc, {{5, 13, 0xDDDAE8}, {13 + 6 * std::cos(1.0), 13 + 6 * std::sin(1.0), 0x4C4084}}},
        {"ok", MicButtonState::ok, {{5, 13, 0xB6CFAE}, {11.4, 16.5, 0x1F3D1B}}},
        {"err", MicButtonState::err, {{5, 13, 0xF1F2F2}, {13, 10, 0xC8321A}, {13, 18.4, 0xC8321A}}},
    };
    for (const auto& [name, state, probes] : cases) {
        const QImage image = button(state);
        for (const auto& [x, y, colour] : probes) {
            EXPECT_TRUE(uitest::sameColour(glyph(image, x, y), colour)) << name << " at " << x << "," << y;
        }
        // The shadow falls below: the column under the glyph holds more alpha than the
        // same band above it (the halo of rec is symmetric and adds to both).
        int below = 0, above = 0;
        for (double d = 0; d < 6; d += 0.5) {
            below += glyph(image, 13, 26 + d).alpha();
            above += glyph(image, 13, -0.5 - d).alpha();
        }
        EXPECT_GT(below, above + 100) << name;
    }
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
    EXPECT_FALSE(uitest::sameColour(glyph(empty, 23, 13), 0xDDDAE8, 20));
    EXPECT_EQ(button(MicButtonState::load(nan)), empty);
    EXPECT_EQ(button(MicButtonState::load(-0.3)), empty);
    const QImage half = button(MicButtonState::load(0.5));
    EXPECT_TRUE(uitest::sameColour(glyph(half, 13, 23), 0xDDDAE8));
    EXPECT_FALSE(uitest::sameColour(glyph(half, 3, 13), 0xDDDAE8, 20));
    const QImage full = button(MicButtonState::load(1));
    EXPECT_TRUE(uitest::sameColour(glyph(full, 3, 13), 0xDDDAE8));
    EXPECT_EQ(button(MicButtonState::load(1.7)), full);

    // The halo: radius 15 for silence, radius 18 at alpha 0.9 for a full level (its own faint
    // shadow adds a little); levels outside 0...1 stay in the view.
    EXPECT_LT(glyph(button(MicButtonState::rec, 0), 31, 13).alpha(), 20);
    EXPECT_NEAR(glyph(button(MicButtonState::rec, 1), 31, 13).alphaF(), 0.9, 0.06);
    EXPECT_EQ(button(MicButtonState::rec, 7), button(MicButtonState::rec, 1));
    EXPECT_EQ(button(MicButtonState::rec, nan), button(MicButtonState::rec, 0));

    // The spinner runs from its angle clockwise for 2 radians, at any number of turns.
    const QImage spin0 = button(MicButtonState::proc, 0, 0);
    EXPECT_FALSE(uitest::sameColour(glyph(spin0, 13 + 6 * std::cos(-1.0), 13 + 6 * std::sin(-1.0)), 0x4C4084, 20));
    EXPECT_EQ(button(MicButtonState::proc, 0, 0.5 + 400 * M_PI), button(MicButtonState::proc, 0, 0.5));
}
