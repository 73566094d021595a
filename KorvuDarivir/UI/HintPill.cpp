#include "KorvuDarivir/UI/HintPill.h"

#include "KorvuDarivir/UI/Brand.h"
#include "KorvuDarivir/UI/Theme.h"
#include "Platform/UI/Painting.h"

#include <QFontMetricsF>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace korvu {

namespace {

constexpr qreal kSpacing = 10;        // icon to text
constexpr qreal kLineSpacing = 1;     // title to detail
constexpr qreal kPadLeading = 8;
constexpr qreal kPadTrailing = 14;
constexpr qreal kPadVertical = 8;

QFont titleFont() { return platform::Painting::font(13, platform::FontWeight::semibold); }
QFont detailFont() { return platform::Painting::font(11.5, platform::FontWeight::regular); }

QSizeF textSize(const QFont& font, const QString& text)
{
    const QFontMetricsF metrics(font);
    return {metrics.horizontalAdvance(text), metrics.height()};
}

QSizeF columnSize(const Hint& hint)
{
    QSizeF size = textSize(titleFont(), hint.title);
    if (hint.detail) {
        const QSizeF detail = textSize(detailFont(), *hint.detail);
        size = {std::max(size.width(), detail.width()), size.height() + kLineSpacing + detail.height()};
    }
    return size;
}

QPainterPath capsule(const QRectF& rect)
{
    QPainterPath path;
    const qreal radius = rect.height() / 2;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

}  // namespace

void HintIcon::paint(QPainter& painter, const QRectF& rect, HintKind kind)
{
    QColor fill = Brand::mediumPurple;
    QColor ring = Brand::mediumPurple;
    QColor glyphColour = Qt::white;
    QString glyph = QStringLiteral("i");
    if (kind == HintKind::warning) {
        fill = Qt::transparent;
        ring = Theme::recording.current();
        glyphColour = ring;
        glyph = QStringLiteral("!");
    } else if (kind == HintKind::error) {
        fill = Theme::recording.current();
        ring = fill;
        glyph = QString(QChar(0x00D7));
    }
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawEllipse(rect);
    // A ring stroked inside the border: its centre line lies half its width inside.
    constexpr qreal ringWidth = 1.5;
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(ring, ringWidth));
    painter.drawEllipse(rect.adjusted(ringWidth / 2, ringWidth / 2, -ringWidth / 2, -ringWidth / 2));
    painter.setPen(glyphColour);
    painter.setFont(platform::Painting::font(12, platform::FontWeight::bold));
    painter.drawText(rect, Qt::AlignCenter, glyph);
    painter.restore();
}

HintPill::HintPill(const Hint& hint, QWidget* parent) : QWidget(parent), hint_(hint)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void HintPill::setHint(const Hint& hint)
{
    hint_ = hint;
    updateGeometry();
    update();
}

void HintPill::setDrawsShadow(bool draws)
{
    drawsShadow_ = draws;
    update();
}

QSizeF HintPill::pillSize(const Hint& hint)
{
    const QSizeF column = columnSize(hint);
    return {kPadLeading + HintIcon::side + kSpacing + column.width() + kPadTrailing,
            kPadVertical + std::max(HintIcon::side, column.height()) + kPadVertical};
}

QSize HintPill::sizeHint() const
{
    const QSizeF pill = pillSize(hint_);
    const QMargins margins = contentsMargins();
    return {static_cast<int>(std::ceil(pill.width())) + margins.left() + margins.right(),
            static_cast<int>(std::ceil(pill.height())) + margins.top() + margins.bottom()};
}

void HintPill::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF pill = QRectF(contentsRect());
    const QPainterPath shape = capsule(pill);
    const auto fillCapsule = [&](QPainter& p) { p.fillPath(shape, Theme::hud.current()); };
    if (drawsShadow_) {
        platform::Painting::drawWithShadow(painter, pill, {QColor::fromRgbF(0, 0, 0, 0.16F), 9, QPointF(0, 6)}, fillCapsule);
    } else {
        fillCapsule(painter);
    }
    painter.strokePath(capsule(pill.adjusted(0.5, 0.5, -0.5, -0.5)), QPen(Theme::line.current(), 1));

    const qreal middle = pill.center().y();
    const QRectF icon(pill.left() + kPadLeading, middle - HintIcon::side / 2, HintIcon::side, HintIcon::side);
    HintIcon::paint(painter, icon, hint_.kind);

    const QSizeF column = columnSize(hint_);
    const qreal textLeft = icon.right() + kSpacing;
    qreal top = middle - column.height() / 2;
    const auto line = [&](const QFont& font, const QColor& colour, const QString& text) {
        const QFontMetricsF metrics(font);
        painter.setFont(font);
        painter.setPen(colour);
        painter.drawText(QPointF(textLeft, top + metrics.ascent()), text);
        top += metrics.height() + kLineSpacing;
    };
    line(titleFont(), Theme::text.current(), hint_.title);
    if (hint_.detail) {
        line(detailFont(), Theme::sub.current(), *hint_.detail);
    }
}

}  // namespace korvu
