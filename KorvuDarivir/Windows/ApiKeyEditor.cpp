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
        const QPointer<QObject> receiver(this);
        const QPointer<ApiKeyEditor> self(this);
        keys_.write(std::nullopt, Keychain::Account::anthropicAPIKey, receiver, [self](bool stored) {
            self->status_->setText(stored ? QStringLiteral("Kein Schlüssel gespeichert.")
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
    // The key store answers on a later turn, and only while the receiver (the editor)
    // exists; the completions reach the editor through `self`.
    const QPointer<QObject> receiver(this);
    const QPointer<ApiKeyEditor> self(this);
    keys_.read(Keychain::Account::anthropicAPIKey, receiver, [self](const KeyReading& reading) {
        QLabel* status = self->status_;
        switch (reading.status) {
        case KeyStatus::found:
            status->setText(QStringLiteral("Gespeichert: %1").arg(masked(reading.value)));
            break;
        case KeyStatus::missing:
            status->setText(QStringLiteral("Kein Schlüssel gespeichert."));
            break;
        case KeyStatus::locked:
            status->setText(QStringLiteral("Der Schlüsselbund ist gesperrt."));
            break;
        case KeyStatus::unavailable:
            status->setText(QStringLiteral("Kein Schlüsselbund erreichbar."));
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
    const QPointer<QObject> receiver(this);
    const QPointer<ApiKeyEditor> self(this);
    keys_.write(key, Keychain::Account::anthropicAPIKey, receiver, [receiver, self, key](bool stored) {
        if (!stored) {
            self->status_->setText(QStringLiteral("Der Schlüsselbund hat den Schlüssel nicht gespeichert."));
            return;
        }
        self->status_->setText(QStringLiteral("Gespeichert: %1 – wird geprüft …").arg(masked(key)));
        QThreadPool::globalInstance()->start([receiver, self, key, validate = self->validateKey] {
            const std::optional<QString> problem = validate(key);
            platform::deliver(receiver, [self, key, problem] {
                self->status_->setText(problem ? QStringLiteral("Gespeichert: %1 – Prüfung: %2").arg(masked(key), *problem)
                                               : QStringLiteral("Gespeichert und geprüft: %1").arg(masked(key)));
            });
        });
    });
}

}  // namespace korvu
