#pragma once

#include <QWidget>

#include <functional>

class QStackedWidget;

namespace korvu {

// The first-run guide: welcome, speech model, microphone, Accessibility, shortcut, a test
// dictation and cleanup, one page each. `finish` runs once, when the user ends the guide
// on its last page, after "onboardingCompleted" has been stored; the view never closes
// its window itself. Leaving the view (closing the window) while the test page has set
// the internal sink clears it, so later dictations go to the focused application again.
class OnboardingView : public QWidget {
    Q_OBJECT
public:
    enum Step { welcome, model, microphone, accessibility, shortcut, test, cleanup };
    static constexpr int stepCount = 7;

    // `startStep` is the raw number of the first step shown; a number that is no step
    // gives the welcome step.
    OnboardingView(int startStep, std::function<void()> finish, QWidget* parent = nullptr);
    ~OnboardingView() override;

    int step() const;
    void goTo(int step);
    // The last page's button: stores "onboardingCompleted", then calls `finish` once.
    void complete();

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void setTestSink(bool active);

    QStackedWidget* pages_;
    std::function<void()> finish_;
    bool finished_ = false;
    bool sinkSet_ = false;
};

}  // namespace korvu
