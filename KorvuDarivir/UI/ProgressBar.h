#pragma once

#include <QColor>
#include <QWidget>

namespace korvu {

// A thin capsule-shaped bar: a track in the theme's line colour and, from the leading
// edge, a capsule in `fill` for the fraction `value`. Values are clamped to 0...1 when
// drawn; NaN shows an empty track.
class ProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit ProgressBar(double value = 0.0, QColor fill = {}, QWidget* parent = nullptr);

    double value() const { return value_; }
    void setValue(double value);
    const QColor& fill() const { return fill_; }
    void setFill(const QColor& fill);

    // The part of `width` that the fill covers.
    static double filledWidth(double width, double value);

    QSize sizeHint() const override { return {100, 4}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double value_;
    QColor fill_;
};

}  // namespace korvu
