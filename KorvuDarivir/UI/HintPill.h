#pragma once

#include "KorvuDarivir/UI/Hint.h"

#include <QPainter>
#include <QRectF>
#include <QWidget>

namespace korvu {

// The round icon in front of a hint's text: 20 x 20, a filled circle with a ring and a
// one-character glyph, coloured by the kind.
struct HintIcon {
    static constexpr qreal side = 20;
    static void paint(QPainter& painter, const QRectF& rect, HintKind kind);
};

// A hint as a capsule: the icon, the title and, when there is one, the detail line below
// it. The lines are never wrapped or cut, so the pill is as wide as its longest line.
// The capsule fills the widget's contents rectangle; its shadow falls into the margins
// (the hint panel gives it room on every side).
class HintPill : public QWidget {
    Q_OBJECT
public:
    explicit HintPill(const Hint& hint = {}, QWidget* parent = nullptr);

    const Hint& hint() const { return hint_; }
    void setHint(const Hint& hint);
    // Off where nothing would blend the shadow with what lies beneath.
    void setDrawsShadow(bool draws);

    // The capsule's own size, without margins.
    static QSizeF pillSize(const Hint& hint);
    // The capsule's size plus the contents margins.
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Hint hint_;
    bool drawsShadow_ = true;
};

}  // namespace korvu
