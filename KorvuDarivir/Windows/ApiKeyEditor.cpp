#include "KorvuDarivir/Windows/ApiKeyEditor.h"

#include "KorvuDarivir/Dictation/TextCleaner.h"
#include "KorvuDarivir/UI/PrimaryButton.h"
#include "KorvuDarivir/UI/SecondaryButton.h"
#include "KorvuDarivir/Windows/Form.h"
#include "Platform/Async/MainThread.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QThreadPool>
#include <QVBoxLayout>

namespace korvu {

ApiKeyEditor::ApiKeyEditor(KeyStore& keys, QWidget* parent)
    : QWidget(parent),
      validateKey([](const QString& key) { return TextCleaner::validate(key); }),
      keys_(keys),
      field_(new QLineEdit),
      status_(form::note(QStringLiteral("Schlüssel wird gelesen …")))
{
    field_->setObjectName(QStringLiteral("apiKey"));
    field_->setEchoMode(QLineEdit::Password);
    field_->setPlaceholderText(QStringLiteral("Neuen API-Schlüssel einfügen"));
    auto* save = new PrimaryButton(QStringLiteral("Speichern"));
    auto* remove = new SecondaryButton(QStringLiteral("Entfernen"));
    connect(save, &QPushButton::clicked, this, &ApiKeyEditor::save);
    connect(field_, &QLineEdit::returnPressed, this, &ApiKeyEditor::save);
    connect(remove, &QPushButton::clicked, this, [this] {
        keys_.write(std::nullopt, Keychain::Account::anthropicAPIKey, QPointer<QObject>(this), [this](bool stored) {
            status_->setText(stored ? QStringLiteral("Kein Schlüssel gespeichert.")
                                    : QStringLiteral("Der Schlüsselbund hat das Entfernen abgelehnt."));
        });
    });
    auto* row = new QHBoxLayout;
    row->addWidget(field_, 1);
    row->addWidget(save);
    row->addWidget(remove);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(row);
    layout->addWidget(status_);
    read();
}

QString ApiKeyEditor::masked(const QString& key)
{
    if (key.size() < 16) {
        return QStringLiteral("••••");
    }
    return key.left(7) + QStringLiteral("…") + key.right(4);
}

QString ApiKeyEditor::status() const
{
    return status_->text();
}

void ApiKeyEditor::read()
{
    keys_.read(Keychain::Account::anthropicAPIKey, QPointer<QObject>(this), [this](const KeyReading& reading) {
        switch (reading.status) {
        case KeyStatus::found:
            status_->setText(QStringLiteral("Gespeichert: %1").arg(masked(reading.value)));
            break;
        case KeyStatus::missing:
            status_->setText(QStringLiteral("Kein Schlüssel gespeichert."));
            break;
        case KeyStatus::locked:
            status_->setText(QStringLiteral("Der Schlüsselbund ist gesperrt."));
            break;
        case KeyStatus::unavailable:
            status_->setText(QStringLiteral("Kein Schlüsselbund erreichbar."));
            break;
        }
    });
}

void ApiKeyEditor::save()
{
    const QString key = field_->text().trimmed();
    if (key.isEmpty()) {
        return;
    }
    field_->clear();
    status_->setText(QStringLiteral("Wird gespeichert …"));
    QPointer<QObject> self(this);
    keys_.write(key, Keychain::Account::anthropicAPIKey, self, [this, self, key](bool stored) {
        if (!stored) {
            status_->setText(QStringLiteral("Der Schlüsselbund hat den Schlüssel nicht gespeichert."));
            return;
        }
        status_->setText(QStringLiteral("Gespeichert: %1 – wird geprüft …").arg(masked(key)));
        QThreadPool::globalInstance()->start([self, key, validate = validateKey] {
            const std::optional<QString> problem = validate(key);
            platform::deliver(self, [self, key, problem] {
                auto* editor = static_cast<ApiKeyEditor*>(self.data());
                editor->status_->setText(problem ? QStringLiteral("Gespeichert: %1 – Prüfung: %2").arg(masked(key), *problem)
                                                 : QStringLiteral("Gespeichert und geprüft: %1").arg(masked(key)));
            });
        });
    });
}

}  // namespace korvu
