#pragma once

#include "KorvuDarivir/Store/Keychain.h"
#include "Platform/Keychain/SecretStore.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace korvu {

// What a reading of the key store found.
enum class KeyStatus {
    found,        // `value` holds the key
    missing,      // nothing stored (or an empty value, or bytes that are no UTF-8)
    locked,       // the keyring is locked or refused access: the user can unlock it
    unavailable,  // no Secret Service, or it did not answer in time
};

// What the user is told when a reading gave no key, one sentence per reason: nothing
// stored, a locked keyring (unlocking it helps; entering the key again would not) and a
// keyring that did not answer. None for a found key.
std::optional<QString> keyProblemDetail(KeyStatus status);

struct KeyReading {
    KeyStatus status = KeyStatus::unavailable;
    QString value;

    friend bool operator==(const KeyReading&, const KeyReading&) = default;
};

// Where the API key lives, without waiting: the desktop's Secret Service (`desktop()`,
// over `Keychain`'s item) or a fake in tests (tests/fakes/FakeKeyStore.h). Each call
// returns at once; its completion comes later as a queued call on the main thread, and not
// at all when `receiver` is gone by then. Main thread only.
class KeyStore {
public:
    using ReadCompletion = std::function<void(KeyReading)>;
    // True when the value is stored (or, for an empty value, deleted). A failed write keeps
    // the key stored before.
    using WriteCompletion = std::function<void(bool stored)>;

    virtual ~KeyStore() = default;

    virtual void read(Keychain::Account account, QPointer<QObject> receiver, ReadCompletion done) = 0;
    virtual void write(const std::optional<QString>& value, Keychain::Account account, QPointer<QObject> receiver,
                       WriteCompletion done) = 0;

    // The desktop's Secret Service.
    static KeyStore& desktop();

    // What the Secret Service key store asks of the service; tests give their own.
    class SecretBackend {
    public:
        using Status = platform::SecretStore::Status;
        virtual ~SecretBackend() = default;
        virtual void read(const QString& key, QPointer<QObject> receiver,
                          std::function<void(platform::SecretStore::ReadResult)> done) = 0;
        virtual void write(const QString& key, const QString& text, QPointer<QObject> receiver,
                           std::function<void(Status)> done) = 0;
        virtual void remove(const QString& key, QPointer<QObject> receiver, std::function<void(Status)> done) = 0;
        virtual void isLocked(QPointer<QObject> receiver, std::function<void(std::optional<bool>)> done) = 0;
    };
    // The key store over a backend: the service's item, read as found, missing (also an
    // empty value or bytes that are no UTF-8), locked (the service refused, or nothing was
    // found in a locked keyring, or the read timed out while the keyring is locked, which is
    // a keyring waiting for its unlock prompt) or unavailable; written in place, so a failed
    // write keeps the key stored before; an empty value deletes.
    static std::unique_ptr<KeyStore> secretService(std::shared_ptr<SecretBackend> backend);
    // The desktop's Secret Service, each call bounded by `timeout`.
    static std::shared_ptr<SecretBackend> secretServiceBackend(std::chrono::milliseconds timeout);
};

}  // namespace korvu
