#pragma once

#include "KorvuDarivir/Store/Permissions.h"

#include <QPointer>
#include <QThreadPool>
#include <QWidget>

#include <functional>
#include <optional>

class QAbstractButton;
class QLabel;

namespace korvu {

// The button that asks for the Accessibility grant, with the line below it that says
// where the setting is when no settings program could be opened for it. The request
// switches the accessibility bus on and waits for its answer, so it runs on a worker of
// the widget's own, which the widget waits for when it ends; the answer comes back on the
// main thread. A click while a request runs is ignored. Used by the onboarding and the
// settings views.
class AccessibilityGrant : public QWidget {
    Q_OBJECT
public:
    // Asks for the grant and opens the pane; the hint when no settings program can show it.
    // Runs on a worker thread.
    using Request = std::function<std::optional<PermissionHint>()>;

    // Takes `button` as its child. An empty `request` asks the desktop.
    AccessibilityGrant(QAbstractButton* button, Request request, QWidget* parent = nullptr);
    ~AccessibilityGrant() override;

    QAbstractButton* button() const { return button_; }
    // The hint's line as shown; empty while there is none.
    QString hintText() const;
    bool isRequesting() const { return requesting_; }
    // Hands the hint's line to the caller, who places it (a narrow row would wrap it into a
    // column); it still shows and hides with the answers.
    QLabel* detachHint();
    // Hides the hint: the grant has come, so it no longer applies.
    void clearHint();

private:
    void request();
    void answered(const std::optional<PermissionHint>& hint);

    QAbstractButton* button_;
    QPointer<QLabel> hint_;
    Request request_;
    bool requesting_ = false;
    QThreadPool workers_;
};

}  // namespace korvu
