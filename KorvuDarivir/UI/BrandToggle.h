#pragma once

#include <memory>

#include <QAbstractButton>

#include "Platform/UI/Scheduler.h"

namespace korvu {

// A compact switch in the brand colours: a 34 × 20 capsule (accent when on, the
// switched-off grey when off) with a white 16-point knob 2 from the edge, trailing when
// on. Every change of the checked state slides the knob and blends the colour in 0.15 s
// with an ease-out curve. Disabled, the switch is drawn at half opacity. The text is not
// drawn; it names the switch for screen readers. Space, a click anywhere on it, and
// setChecked flip it as for any checkable Qt button; keyboard focus shows a ring as on
// the styled buttons.
class BrandToggle : public QAbstractButton {
    Q_OBJECT
public:
    explicit BrandToggle(const QString& text = {}, QWidget* parent = nullptr);
    // Tests drive the animation with a fake scheduler.
    BrandToggle(const QString& text, platform::Scheduler& scheduler, QWidget* parent = nullptr);
    ~BrandToggle() override;

    QSize sizeHint() const override { return {34, 20}; }
    QSize minimumSizeHint() const override { return sizeHint(); }

    // Where the knob stands: 0 at the leading end, 1 at the trailing end.
    double knobPosition() const { return position_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void setUp(const QString& text);
    void animateTo(bool on);
    void tick();

    std::unique_ptr<platform::Scheduler> ownScheduler_;
    platform::Scheduler& scheduler_;
    platform::SchedulerToken animation_;
    bool keyboardFocus_ = false;
    double position_ = 0;
    double from_ = 0;
    double to_ = 0;
    std::chrono::milliseconds start_{0};
};

}  // namespace korvu
