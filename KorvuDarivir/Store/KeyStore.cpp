#include "KorvuDarivir/Store/KeyStore.h"

#include "Platform/Keychain/SecretStore.h"

#include <QCoreApplication>
#include <QStringDecoder>

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

class SecretServiceKeyStore final : public KeyStore {
public:
    void read(Keychain::Account account, QPointer<QObject> receiver, ReadCompletion done) override
    {
        SecretStore::read(QString::fromLatin1(Keychain::service), Keychain::accountName(account),
                          Keychain::defaultTimeout, receiver,
                          [done = std::move(done)](const SecretStore::ReadResult& result) {
                              if (done) done(readingOf(result));
                          });
    }

    void write(const std::optional<QString>& value, Keychain::Account account, QPointer<QObject> receiver,
               WriteCompletion done) override
    {
        const QString service = QString::fromLatin1(Keychain::service);
        if (!value || value->isEmpty()) {
            SecretStore::remove(service, Keychain::accountName(account), Keychain::defaultTimeout, receiver,
                                [done = std::move(done)](SecretStore::Status status) {
                                    if (done) {
                                        done(status == SecretStore::Status::ok
                                             || status == SecretStore::Status::notFound);
                                    }
                                });
            return;
        }
        if (value->contains(QChar(u'\0'))) {
            // The service would cut the value short; nothing is changed.
            platform::SecretStore::Done refuse = [done = std::move(done)](SecretStore::Status) {
                if (done) done(false);
            };
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [receiver, refuse] {
                    if (receiver) refuse(SecretStore::Status::failed);
                },
                Qt::QueuedConnection);
            return;
        }
        SecretStore::write(service, Keychain::accountName(account), *value, Keychain::defaultTimeout, receiver,
                           [done = std::move(done)](SecretStore::Status status) {
                               if (done) done(status == SecretStore::Status::ok);
                           });
    }
};

}  // namespace

KeyStore& KeyStore::desktop()
{
    static SecretServiceKeyStore store;
    return store;
}

}  // namespace korvu
