#include "KorvuDarivir/Windows/AccessibilityGrant.h"

#include "KorvuDarivir/Windows/Form.h"
#include "Platform/Async/MainThread.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

namespace korvu {

AccessibilityGrant::AccessibilityGrant(QAbstractButton* button, Request request, QWidget* parent)
    : QWidget(parent), button_(button), hint_(form::note(QString())), request_(std::move(request))
{
    if (!request_) {
        request_ = [] { return Permissions::requestAccessibility(); };
    }
    hint_->setWordWrap(true);
    hint_->hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(button_, 0, Qt::AlignLeft);
    layout->addWidget(hint_);
    workers_.setMaxThreadCount(1);
    connect(button_, &QAbstractButton::clicked, this, &AccessibilityGrant::request);
}

AccessibilityGrant::~AccessibilityGrant()
{
    // The request's bus calls end at their own short time limits; its answer is dropped.
    workers_.waitForDone();
}

QString AccessibilityGrant::hintText() const
{
    return !hint_ || hint_->isHidden() ? QString() : hint_->text();
}

QLabel* AccessibilityGrant::detachHint()
{
    layout()->removeWidget(hint_);
    return hint_;
}

void AccessibilityGrant::clearHint()
{
    if (hint_) {
        hint_->clear();
        hint_->hide();
    }
}

void AccessibilityGrant::request()
{
    if (requesting_) {
        return;
    }
    requesting_ = true;
    const QPointer<AccessibilityGrant> self(this);
    workers_.start([self, request = request_] {
        const std::optional<PermissionHint> hint = request();
        platform::deliver(self, [hint](AccessibilityGrant& grant) { grant.answered(hint); });
    });
}

void AccessibilityGrant::answered(const std::optional<PermissionHint>& hint)
{
    requesting_ = false;
    if (!hint_) {
        return;
    }
    hint_->setText(hint ? QStringLiteral("%1: %2").arg(hint->title, hint->detail) : QString());
    hint_->setVisible(hint.has_value());
}

}  // namespace korvu
