#pragma once

#include <QString>

#include <chrono>
#include <optional>

namespace korvu {

// Where the user's API key for the language-model cleanup is kept in the desktop's Secret
// Service (not in the settings): the item's service and account names. Reading and writing
// go through `KeyStore`, which never waits.
class Keychain {
public:
    Keychain() = delete;

    // The items the application keeps.
    enum class Account { anthropicAPIKey };

    // The same for every account.
    static constexpr const char* service = "de.korvu.darivir";
    // How long the key store waits for the service: a locked keyring may ask the user to
    // unlock it, and that answer needs some time.
    static constexpr std::chrono::milliseconds defaultTimeout{10000};

    // "anthropic-api-key".
    static QString accountName(Account account);

};

}  // namespace korvu
