#include "KorvuDarivir/Windows/ModelCard.h"

#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/UI/SecondaryButton.h"
#include "KorvuDarivir/Windows/Form.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
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
    load_ = new SecondaryButton(QStringLiteral("Laden"));
    connect(load_, &QPushButton::clicked, this, [] { AppModel::shared().loadModel(); });

    auto* top = new QHBoxLayout;
    auto* texts = new QVBoxLayout;
    texts->addWidget(state_);
    texts->addWidget(detail_);
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

void ModelCard::refresh()
{
    const ModelState& model = AppModel::shared().model();
    using Kind = ModelState::Kind;
    progress_->setVisible(model.kind() == Kind::downloading);
    load_->setVisible(model.kind() == Kind::failed || model.kind() == Kind::notLoaded || model.kind() == Kind::ready);
    load_->setText(model.kind() == Kind::notLoaded ? QStringLiteral("Laden") : QStringLiteral("Neu laden"));
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
