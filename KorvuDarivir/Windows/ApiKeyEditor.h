#pragma once

#include "KorvuDarivir/Store/KeyStore.h"

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;

namespace korvu {

// The API key of the cleanup: a field for a new key, "Speichern" and "Entfernen", and
// what is stored, shown only as its beginning and its last four characters. The key goes
// through the key store (asynchronous); a new key is stored trimmed first, so nothing the
// user typed is lost when the check cannot reach the API, and then checked on a worker
// thread.
class ApiKeyEditor : public QWidget {
    Q_OBJECT
public:
    explicit ApiKeyEditor(KeyStore& keys, QWidget* parent = nullptr);

    // Checks a key against the API: none when accepted, else the message. Tests replace it.
    std::function<std::optional<QString>(const QString&)> validateKey;

    QString status() const;
    QLineEdit* field() const { return field_; }
    // Stores the key typed in the field, then checks it.
    void save();

    // The key as it may be shown.
    static QString masked(const QString& key);

private:
    void read();

    KeyStore& keys_;
    QLineEdit* field_;
    QLabel* status_;
};

}  // namespace korvu
