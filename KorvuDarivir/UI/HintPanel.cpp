#include "KorvuDarivir/UI/HintPanel.h"

#include "KorvuDarivir/UI/HintPill.h"
#include "KorvuDarivir/UI/Theme.h"
#include "Platform/UI/Painting.h"
#include "Platform/UI/ScreenCoordinates.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace korvu {

// The button's one-line tooltip: a rounded label that fills the contents rectangle, its
// shadow in the margins.
class TooltipLabel : public QWidget {
public:
    explicit TooltipLabel(QWidget* parent) : QWidget(parent) {}

    void setText(const QString& text)
    {
        text_ = text;
        updateGeometry();
        update();
    }
    void setDrawsShadow(bool draws)
    {
        drawsShadow_ = draws;
        update();
    }

    static QPainterPath shape(const QRectF& rect)
    {
        QPainterPath path;
        path.addRoundedRect(rect, radius, radius);
        return path;
    }

    QSize sizeHint() const override
    {
        const QFontMetricsF metrics(font());
        const QMargins margins = contentsMargins();
        return {static_cast<int>(std::ceil(metrics.horizontalAdvance(text_) + 2 * padX)) + margins.left() + margins.right(),
                static_cast<int>(std::ceil(metrics.height() + 2 * padY)) + margins.top() + margins.bottom()};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF label = QRectF(contentsRect());
        const QPainterPath body = shape(label);
        const auto fill = [&](QPainter& p) { p.fillPath(body, Theme::tooltip.current()); };
        if (drawsShadow_) {
            platform::Painting::drawWithShadow(painter, label, {QColor::fromRgbF(0, 0, 0, 0.12F), 3, QPointF(0, 2)}, fill);
        } else {
            fill(painter);
        }
        painter.strokePath(shape(label.adjusted(0.5, 0.5, -0.5, -0.5)), QPen(Theme::fieldLine.current(), 1));
        const QFontMetricsF metrics(font());
        painter.setFont(font());
        painter.setPen(Theme::text.current());
        painter.drawText(QPointF(label.left() + padX, label.top() + padY + metrics.ascent()), text_);
    }

private:
    static constexpr qreal radius = 5;
    static constexpr qreal padX = 8;
    static constexpr qreal padY = 4;

    QString text_;
    bool drawsShadow_ = true;
};

namespace {

QRegion regionOf(const QPainterPath& path) { return QRegion(path.toFillPolygon().toPolygon()); }

}  // namespace

HintPanel::HintPanel()
    : platform::FloatingWindow(Input::clickThrough),
      ownedScreens_(std::make_unique<platform::QtScreenProvider>()),
      ownedScheduler_(std::make_unique<platform::QtScheduler>()),
      screens_(ownedScreens_.get()),
      scheduler_(ownedScheduler_.get())
{
    setUp();
}

HintPanel::HintPanel(const platform::ScreenProvider& screens, platform::Scheduler& scheduler)
    : platform::FloatingWindow(Input::clickThrough), screens_(&screens), scheduler_(&scheduler)
{
    setUp();
}

void HintPanel::setUp()
{
    pill_ = new HintPill({}, this);
    tooltip_ = new TooltipLabel(this);
    beep_ = [] { QApplication::beep(); };
    const int margin = static_cast<int>(pad);
    const QMargins margins(margin, margin, margin, margin);
    pill_->setContentsMargins(margins);
    tooltip_->setContentsMargins(margins);
    tooltip_->setFont(platform::Painting::font(11));
    pill_->hide();
    tooltip_->hide();
}

HintPanel::~HintPanel() = default;

void HintPanel::show(const Hint& hint, std::optional<QRectF> anchor)
{
    pill_->setHint(hint);
    // The window's name is what screen readers and window lists say of it.
    setWindowTitle(hint.detail ? hint.title + QStringLiteral(" – ") + *hint.detail : hint.title);
    const QSizeF size = pill_->sizeHint();
    const QRectF place = anchor ? *anchor : QRectF(screens_->cursorPosition() - QPointF(8, 8), QSizeF(16, 16));
    const QRectF bounds = screenBounds(*screens_, place);
    present(pill_, hintOrigin(size, place, bounds), size, bounds);
    if (hint.kind == HintKind::error && beep_) {
        beep_();
    }
    hideAfter(hintDuration);
}

void HintPanel::showTooltip(const QString& text, const QRectF& anchor)
{
    tooltip_->setText(text);
    setWindowTitle(text);
    const QSizeF size = tooltip_->sizeHint();
    present(tooltip_, tooltipOrigin(size, anchor), size, screenBounds(*screens_, anchor));
    hideAfter(tooltipDuration);
}

void HintPanel::hide()
{
    hideTask_.cancel();
    orderOut();
}

QRectF HintPanel::screenBounds(const platform::ScreenProvider& screens, const QRectF& anchor)
{
    if (const auto screen = screens.screenIntersecting(anchor)) {
        return screen->availableArea;
    }
    if (const auto primary = screens.primaryScreen()) {
        return primary->availableArea;
    }
    return anchor;
}

QPointF HintPanel::hintOrigin(QSizeF size, const QRectF& anchor, const QRectF& bounds)
{
    // y-up: a QRectF's y() is its bottom edge, y() + height() its top edge.
    qreal x = anchor.x() - 8 + pad - size.width();
    const qreal y = anchor.center().y() - size.height() / 2;
    if (x + pad < bounds.x()) {
        x = anchor.x() + anchor.width() + 8 - pad;
    }
    return {x, y};
}

QPointF HintPanel::tooltipOrigin(QSizeF size, const QRectF& anchor)
{
    return {anchor.x() + anchor.width() + 6 + pad - size.width(), anchor.y() - 4 + pad - size.height()};
}

QPointF HintPanel::clampOrigin(QSizeF size, QPointF origin, const QRectF& bounds)
{
    // Not std::clamp: with a panel larger than the bounds the upper limit must win.
    qreal x = std::max(origin.x(), bounds.x() - pad);
    x = std::min(x, bounds.x() + bounds.width() - size.width() + pad);
    qreal y = std::max(origin.y(), bounds.y() - pad);
    y = std::min(y, bounds.y() + bounds.height() - size.height() + pad);
    return {x, y};
}

void HintPanel::present(QWidget* content, QPointF origin, QSizeF size, const QRectF& bounds)
{
    QWidget* other = content == pill_ ? static_cast<QWidget*>(tooltip_) : pill_;
    other->hide();
    frame_ = QRectF(clampOrigin(size, origin, bounds), size);
    const QRectF visible = QRectF(QPointF(0, 0), size).adjusted(pad, pad, -pad, -pad);
    QPainterPath shape;
    if (content == pill_) {
        shape.addRoundedRect(visible, visible.height() / 2, visible.height() / 2);
    } else {
        shape = TooltipLabel::shape(visible);
    }
    setVisibleShape(regionOf(shape));
    setGeometry(platform::ScreenCoordinates::toQt(frame_).toRect());
    content->setGeometry(rect());
    content->show();
    orderFront();
    pill_->setDrawsShadow(drawsShadow());
    tooltip_->setDrawsShadow(drawsShadow());
    update();
}

void HintPanel::hideAfter(std::chrono::milliseconds delay)
{
    // Replacing the token cancels the previous hide, so an older show never hides a newer.
    hideTask_ = scheduler_->schedule(delay, [this] { orderOut(); });
}

}  // namespace korvu
