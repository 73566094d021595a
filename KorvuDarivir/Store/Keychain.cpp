#include "KorvuDarivir/Store/Keychain.h"

#include "Platform/Keychain/SecretStore.h"

#include <QStringDecoder>

namespace korvu {

using platform::SecretStore;

QString Keychain::accountName(Account account)
{
    switch (account) {
    case Account::anthropicAPIKey:
        return QStringLiteral("anthropic-api-key");
    }
    return {};
}

std::optional<QString> Keychain::get(Account account, std::chrono::milliseconds timeout)
{
    const auto result = SecretStore::read(QString::fromLatin1(service), accountName(account), timeout);
    if (result.status != SecretStore::Status::ok || result.data.isEmpty()) {
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(result.data);
    if (decoder.hasError() || text.isEmpty()) {
        return std::nullopt;
    }
    return text;
}

bool Keychain::set(const std::optional<QString>& value, Account account, std::chrono::milliseconds timeout)
{
    const QString serviceName = QString::fromLatin1(service);
    if (!value || value->isEmpty()) {
        const auto status = SecretStore::remove(serviceName, accountName(account), timeout);
        return status == SecretStore::Status::ok || status == SecretStore::Status::notFound;
    }
    if (value->contains(QChar(u'\0'))) {
        return false;
    }
    return SecretStore::write(serviceName, accountName(account), *value, timeout) == SecretStore::Status::ok;
}

}  // namespace korvu
