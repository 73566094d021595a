// The dictation controller's floating button: whether it shows, where it stands beside the
// focused field (or at the mouse), the user's dragged offset per application, and the
// tooltip after the pointer rests on it. The dictation itself is in DictationController.cpp.
#include "KorvuDarivir/Dictation/DictationController.h"

#include "KorvuDarivir/Dictation/ButtonPlacement.h"
#include "KorvuDarivir/Dictation/DictationSettings.h"
#include "Platform/UI/ScreenProvider.h"

#include <QPointer>

namespace korvu {

void DictationController::focusChanged(const std::optional<FocusedField>& field)
{
    currentField_ = field;
    updatePanel();
}

void DictationController::syncButton()
{
    environment_.panel->setState(model_.buttonState());
    updatePanel();
}

void DictationController::updatePanel()
{
    ButtonPanel& panel = *environment_.panel;
    if (internalSink_) {
        panel.orderOut();
        return;
    }
    if (!environment_.settings->showFloatingButton()) {
        panel.orderOut();
        tooltipTask_.cancel();
        return;
    }
    if (model_.phase() == DictationPhase::idle && !model_.flash()) {
        if (model_.accessibilityGranted() && currentField_) {
            placeBeside(*currentField_);
        } else {
            panel.orderOut();
            tooltipTask_.cancel();
        }
        return;
    }
    // A button that shows a dictation or a flash stays where it is.
    if (panel.isVisible()) {
        return;
    }
    if (!currentField_) {
        panel.setStandardOrigin(std::nullopt);
        panel.place(ButtonPlacement::atMouse(environment_.screens->cursorPosition()));
        return;
    }
    placeBeside(*currentField_);
}

void DictationController::placeBeside(const FocusedField& field)
{
    const QPointF standard = ButtonPlacement::besideField(field.frame);
    environment_.panel->setStandardOrigin(standard);
    const ButtonOffset shift = offset(field);
    environment_.panel->place(standard + QPointF(shift.dx, shift.dy));
}

std::optional<QString> DictationController::appId(std::int64_t pid)
{
    const std::optional<platform::RunningApplication> application = environment_.applications->application(pid);
    if (!application || application->appId.isEmpty()) {
        return std::nullopt;
    }
    return application->appId;
}

ButtonOffset DictationController::offset(const FocusedField& field)
{
    if (!environment_.settings->movableButton()) {
        return {};
    }
    return environment_.settings->buttonOffset(appId(field.pid));
}

bool DictationController::isDraggable() const
{
    return environment_.settings->movableButton() && model_.phase() == DictationPhase::idle;
}

void DictationController::buttonMoved()
{
    ButtonPanel& panel = *environment_.panel;
    const std::optional<QPointF> standard = panel.standardOrigin();
    if (!currentField_ || !standard) {
        return;
    }
    const QRectF face = ButtonPlacement::face(panel.frame());
    const QPointF delta = face.topLeft() - *standard;  // topLeft() is the lower-left corner in y-up space
    const std::optional<platform::RunningApplication> application =
        environment_.applications->application(currentField_->pid);
    const std::optional<QString> id =
        application && !application->appId.isEmpty() ? std::optional<QString>(application->appId) : std::nullopt;
    environment_.settings->setButtonOffset({delta.x(), delta.y()}, id);
    const std::optional<QString> name =
        application && !application->name.isEmpty() ? std::optional<QString>(application->name) : std::nullopt;
    environment_.hints->show({HintKind::info, QStringLiteral("Position gemerkt"), ButtonPlacement::offsetSavedDetail(name)},
                             face);
}

void DictationController::hoverChanged(bool hovering)
{
    tooltipTask_.cancel();
    if (hovering && model_.phase() == DictationPhase::idle) {
        QPointer<DictationController> self(this);
        tooltipTask_ = environment_.scheduler->schedule(tooltipDelay, [self] {
            if (!self || !self->environment_.panel->isVisible()) {
                return;
            }
            self->environment_.hints->showTooltip(ButtonPlacement::tooltipText(self->environment_.settings->hotkey()),
                                                  ButtonPlacement::face(self->environment_.panel->frame()));
            self->tooltipShown_ = true;
        });
        return;
    }
    if (tooltipShown_) {
        environment_.hints->hide();
    }
    tooltipShown_ = false;
}

}  // namespace korvu
