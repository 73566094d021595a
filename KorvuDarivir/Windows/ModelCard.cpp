#include "KorvuDarivir/Windows/ModelCard.h"

#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/UI/SecondaryButton.h"
#include "KorvuDarivir/Windows/Form.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QTime>
#include <QVBoxLayout>

#include <cmath>

namespace korvu {

ModelCard::ModelCard(QWidget* parent) : QWidget(parent)
{
    state_ = new QLabel;
    detail_ = form::note(QString());
    progress_ = new QProgressBar;
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setMaximumHeight(8);
    outcome_ = form::note(QString());
    load_ = new SecondaryButton(QStringLiteral("Laden"));
    connect(load_, &QPushButton::clicked, this, &ModelCard::startTry);

    auto* top = new QHBoxLayout;
    auto* texts = new QVBoxLayout;
    texts->addWidget(state_);
    texts->addWidget(detail_);
    texts->addWidget(outcome_);
    top->addLayout(texts, 1);
    top->addWidget(load_, 0, Qt::AlignVCenter);
    auto* content = new QVBoxLayout;
    content->addLayout(top);
    content->addWidget(progress_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(form::card(content));
    connect(&AppModel::shared(), &AppModel::modelChanged, this, &ModelCard::refresh);
    refresh();
}

QString ModelCard::stateText() const
{
    return state_->text();
}

QString ModelCard::detailText() const
{
    return detail_->text();
}

QString ModelCard::outcomeText() const
{
    return outcome_->text();
}

void ModelCard::startTry()
{
    trying_ = true;
    outcome_->clear();
    AppModel::shared().loadModel();
    refresh();
}

void ModelCard::refresh()
{
    const ModelState& model = AppModel::shared().model();
    using Kind = ModelState::Kind;
    const bool busy = model.kind() == Kind::downloading || model.kind() == Kind::preparing;
    if (trying_ && !busy) {
        trying_ = false;
        if (model.kind() == Kind::failed) {
            outcome_->setText(QStringLiteral("Letzter Versuch um %1 Uhr: ohne Erfolg.")
                                  .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
        }
    }
    if (model.kind() == Kind::ready) {
        outcome_->clear();
    }
    outcome_->setVisible(!outcome_->text().isEmpty());
    progress_->setVisible(model.kind() == Kind::downloading);
    // A ready model has nothing to load again, and a running load nothing to start.
    load_->setVisible(model.kind() == Kind::failed || model.kind() == Kind::notLoaded || (busy && trying_));
    // Disabling the button moves the keyboard focus to the next control ("Zurück" in the
    // onboarding), where a second Space would leave the step; it comes back with the button.
    if (busy && load_->hasFocus()) {
        refocus_ = true;
    }
    load_->setEnabled(!busy);
    if (refocus_ && !busy) {
        refocus_ = false;
        if (load_->isVisibleTo(this)) {
            load_->setFocus(Qt::OtherFocusReason);
        }
    }
    load_->setText(busy ? QStringLiteral("Wird versucht …")
                        : (model.kind() == Kind::failed ? QStringLiteral("Erneut versuchen") : QStringLiteral("Laden")));
    switch (model.kind()) {
    case Kind::downloading: {
        const double p = std::isnan(model.progress()) ? 0.0 : std::clamp(model.progress(), 0.0, 1.0);
        progress_->setValue(static_cast<int>(p * 1000));
        state_->setText(QStringLiteral("Sprachmodell wird geladen …"));
        detail_->setText(AppModel::downloadDetail(model.progress()));
        break;
    }
    case Kind::preparing:
        state_->setText(QStringLiteral("Sprachmodell wird vorbereitet …"));
        detail_->setText(model.firstTime() ? QStringLiteral("Beim ersten Mal dauert das eine Weile.") : QString());
        break;
    case Kind::failed:
        state_->setText(QStringLiteral("Das Sprachmodell konnte nicht geladen werden."));
        detail_->setText(model.message());
        break;
    case Kind::notLoaded:
        state_->setText(QStringLiteral("Sprachmodell nicht geladen"));
        detail_->setText(QStringLiteral("Es wird einmalig heruntergeladen (etwa 630 MB) und läuft dann lokal."));
        break;
    case Kind::ready:
        state_->setText(QStringLiteral("Sprachmodell bereit"));
        detail_->setText(QStringLiteral("Die Spracherkennung läuft lokal auf diesem Rechner."));
        break;
    }
    detail_->setVisible(!detail_->text().isEmpty());
}

}  // namespace korvu
