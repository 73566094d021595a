#include "KorvuDarivir/Store/KeyStore.h"

#include "Platform/Async/MainThread.h"
#include "Platform/Keychain/SecretStore.h"

#include <QCoreApplication>
#include <QStringDecoder>

#include <algorithm>

namespace korvu {

using platform::SecretStore;

namespace {

KeyReading readingOf(const SecretStore::ReadResult& result)
{
    switch (result.status) {
    case SecretStore::Status::ok: {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
        QString text = decoder.decode(result.data);
        if (decoder.hasError() || text.isEmpty()) return {KeyStatus::missing, {}};
        return {KeyStatus::found, text};
    }
    case SecretStore::Status::notFound:
        return {KeyStatus::missing, {}};
    case SecretStore::Status::locked:
        return {KeyStatus::locked, {}};
    case SecretStore::Status::failed:
    case SecretStore::Status::timedOut:
        break;
    }
    return {KeyStatus::unavailable, {}};
}

constexpr std::chrono::milliseconds kLockQueryTimeout{2000};

class DesktopSecrets final : public KeyStore::SecretBackend {
public:
    explicit DesktopSecrets(std::chrono::milliseconds timeout) : timeout_(timeout) {}

    void read(const QString& key, QPointer<QObject> receiver,
              std::function<void(SecretStore::ReadResult)> done) override
    {
        SecretStore::read(service(), key, timeout_, receiver, std::move(done));
    }
    void write(const QString& key, const QString& text, QPointer<QObject> receiver,
               std::function<void(Status)> done) override
    {
        SecretStore::write(service(), key, text, timeout_, receiver, std::move(done));
    }
    void remove(const QString& key, QPointer<QObject> receiver, std::function<void(Status)> done) override
    {
        SecretStore::remove(service(), key, timeout_, receiver, std::move(done));
    }
    void isLocked(QPointer<QObject> receiver, std::function<void(std::optional<bool>)> done) override
    {
        // A property read, which a keyring answers at once even while it prompts; asked
        // after a read that timed out, so it must not double the wait.
        SecretStore::isDefaultCollectionLocked(std::min(timeout_, kLockQueryTimeout), receiver, std::move(done));
    }

private:
    static QString service() { return QString::fromLatin1(Keychain::service); }
    std::chrono::milliseconds timeout_;
};

class SecretServiceKeyStore final : public KeyStore {
public:
    explicit SecretServiceKeyStore(std::shared_ptr<SecretBackend> backend) : backend_(std::move(backend)) {}

    void read(Keychain::Account account, QPointer<QObject> receiver, ReadCompletion done) override
    {
        auto backend = backend_;
        backend_->read(Keychain::accountName(account), receiver,
                       [backend, receiver, done = std::move(done)](const SecretStore::ReadResult& result) {
                           const KeyReading reading = readingOf(result);
                           const bool notFound = result.status == SecretStore::Status::notFound;
                           if (!notFound && result.status != SecretStore::Status::timedOut) {
                               if (done) done(reading);
                               return;
                           }
                           // A locked keyring finds nothing, or waits for its unlock prompt
                           // until the time-out: that is no missing key, and no absent service.
                           backend->isLocked(receiver, [done, notFound](std::optional<bool> locked) {
                               const KeyStatus otherwise = notFound ? KeyStatus::missing : KeyStatus::unavailable;
                               if (done) done({locked.value_or(false) ? KeyStatus::locked : otherwise, {}});
                           });
                       });
    }

    void write(const std::optional<QString>& value, Keychain::Account account, QPointer<QObject> receiver,
               WriteCompletion done) override
    {
        if (!value || value->isEmpty()) {
            backend_->remove(Keychain::accountName(account), receiver, [done = std::move(done)](SecretStore::Status status) {
                if (done) done(status == SecretStore::Status::ok || status == SecretStore::Status::notFound);
            });
            return;
        }
        if (value->contains(QChar(u'\0'))) {
            // The service would cut the value short; nothing is changed.
            platform::deliver(receiver, [done = std::move(done)] {
                if (done) done(false);
            });
            return;
        }
        // Written in place: a write that fails leaves the key stored before.
        backend_->write(Keychain::accountName(account), *value, receiver, [done = std::move(done)](SecretStore::Status status) {
            if (done) done(status == SecretStore::Status::ok);
        });
    }

private:
    std::shared_ptr<SecretBackend> backend_;
};

}  // namespace

std::optional<QString> keyProblemDetail(KeyStatus status)
{
    switch (status) {
    case KeyStatus::found:
        return std::nullopt;
    case KeyStatus::missing:
        return QStringLiteral("Für die KI-Aufbereitung fehlt der API-Key.");
    case KeyStatus::locked:
        return QStringLiteral("Der Schlüsselbund ist gesperrt. Entsperre ihn, dann liest KORVU Darivir den API-Key.");
    case KeyStatus::unavailable:
        break;
    }
    return QStringLiteral("Der Schlüsselbund antwortet nicht, der API-Key ließ sich nicht lesen.");
}

std::unique_ptr<KeyStore> KeyStore::secretService(std::shared_ptr<SecretBackend> backend)
{
    return std::make_unique<SecretServiceKeyStore>(std::move(backend));
}

std::shared_ptr<KeyStore::SecretBackend> KeyStore::secretServiceBackend(std::chrono::milliseconds timeout)
{
    return std::make_shared<DesktopSecrets>(timeout);
}

KeyStore& KeyStore::desktop()
{
    static const std::unique_ptr<KeyStore> store = secretService(secretServiceBackend(Keychain::defaultTimeout));
    return *store;
}

}  // namespace korvu
