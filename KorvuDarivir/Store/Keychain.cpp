#include "KorvuDarivir/Store/Keychain.h"


namespace korvu {

QString Keychain::accountName(Account account)
{
    switch (account) {
    case Account::anthropicAPIKey:
        return QStringLiteral("anthropic-api-key");
    }
    return {};
}

}  // namespace korvu
