#include "KorvuDarivir/Windows/OnboardingView.h"

#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QHideEvent>
#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace korvu {

OnboardingView::OnboardingView(int startStep, std::function<void()> finish, QWidget* parent)
    : QWidget(parent), pages_(new QStackedWidget(this)), finish_(std::move(finish))
{
    for (int i = 0; i < stepCount; ++i) {
        pages_->addWidget(new QLabel(QString::number(i)));
    }
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_);
    goTo(startStep);
}

OnboardingView::~OnboardingView()
{
    setTestSink(false);
}

int OnboardingView::step() const
{
    return pages_->currentIndex();
}

void OnboardingView::goTo(int step)
{
    const int target = step >= 0 && step < stepCount ? step : welcome;
    pages_->setCurrentIndex(target);
    setTestSink(target == test);
}

void OnboardingView::complete()
{
    if (finished_) {
        return;
    }
    finished_ = true;
    setTestSink(false);
    platform::UserDefaults::standard().set(QString::fromLatin1(Settings::onboardingCompletedKey), true);
    if (finish_) {
        finish_();
    }
}

void OnboardingView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous()) {
        setTestSink(false);
    }
}

void OnboardingView::setTestSink(bool active)
{
    if (active == sinkSet_) {
        return;
    }
    sinkSet_ = active;
    AppModel::shared().setInternalSink(active ? AppModel::Sink([](const QString&) {}) : AppModel::Sink());
}

}  // namespace korvu
