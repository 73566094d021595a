#pragma once

#include "KorvuDarivir/Windows/AccessibilityGrant.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace korvu {

// The first-run guide: welcome, speech model, microphone, Accessibility, shortcut, a test
// dictation and cleanup, one page each. `finish` runs once, when the user ends the guide
// on its last page, after "onboardingCompleted" has been stored; the view never closes
// its window itself. On the test page dictations go to the page (the model's internal
// sink) instead of the focused application; leaving the page, hiding the view (closing
// its window) or destroying it clears the sink again.
class OnboardingView : public QWidget {
    Q_OBJECT
public:
    enum Step { welcome, model, microphone, accessibility, shortcut, test, cleanup };
    static constexpr int stepCount = 7;

    // `startStep` is the raw number of the first step shown; a number that is no step
    // gives the welcome step.
    OnboardingView(int startStep, std::function<void()> finish, QWidget* parent = nullptr);
    // `requestAccessibility` is what the Accessibility page's button asks (the desktop when
    // empty).
    OnboardingView(int startStep, std::function<void()> finish, AccessibilityGrant::Request requestAccessibility,
                   QWidget* parent = nullptr);
    ~OnboardingView() override;

    int step() const;
    void goTo(int step);
    // The last page's button: stores "onboardingCompleted", then calls `finish` once.
    void complete();
    // What the test page received last.
    QString testResult() const;
    // The model page's explanation (it follows the model's state) and the test page's state
    // line, as shown now.
    QString modelNote() const;
    QString testState() const;

protected:
    void hideEvent(QHideEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* welcomePage();
    QWidget* modelPage();
    QWidget* microphonePage();
    QWidget* accessibilityPage();
    QWidget* shortcutPage();
    QWidget* testPage();
    QWidget* cleanupPage();
    void setTestSink(bool active);
    void updateNavigation();
    void showModelNote();

    QStackedWidget* pages_;
    QLabel* progress_;
    QPushButton* back_;
    QPushButton* next_;
    QLabel* testResult_ = nullptr;
    QLabel* testState_ = nullptr;
    QLabel* modelNote_ = nullptr;
    std::function<void()> finish_;
    AccessibilityGrant::Request requestAccessibility_;
    bool finished_ = false;
    bool sinkSet_ = false;
};

}  // namespace korvu
