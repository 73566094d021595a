#pragma once

#include <QString>

#include <chrono>
#include <optional>

namespace korvu {

// The user's API key for the language-model cleanup, kept in the desktop's Secret Service
// (not in the settings). A type without instances; call it on a thread with a Qt event
// loop (the main thread): each call waits for the service, at most `timeout`.
class Keychain {
public:
    Keychain() = delete;

    // The items the application keeps.
    enum class Account { anthropicAPIKey };

    // The same for every account.
    static constexpr const char* service = "de.korvu.darivir";
    // A locked keyring may ask the user to unlock it; that answer needs some time.
    static constexpr std::chrono::milliseconds defaultTimeout{10000};

    // "anthropic-api-key".
    static QString accountName(Account account);

    // The stored value, or none: nothing stored, an empty value, bytes that are no UTF-8,
    // and every failure of the service (none running, locked, time-out) alike. The value
    // comes back unchanged (no trimming).
    static std::optional<QString> get(Account account, std::chrono::milliseconds timeout = defaultTimeout);

    // Stores the value, replacing the old one in place, so a failed write keeps it. An
    // empty or absent value deletes the item. True on success; false when the service
    // failed or did not answer in time, and for a value holding U+0000, which the service
    // would cut short (nothing is changed then).
    static bool set(const std::optional<QString>& value, Account account,
                    std::chrono::milliseconds timeout = defaultTimeout);
};

}  // namespace korvu
