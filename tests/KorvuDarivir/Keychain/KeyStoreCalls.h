#pragma once

// The key store's calls, waited for: the tests' way to read and write the key.
#include "KorvuDarivir/Store/KeyStore.h"
#include "support/QtWait.h"

namespace keychaintest {

inline korvu::KeyReading readKey(korvu::KeyStore& store)
{
    QObject receiver;
    std::optional<korvu::KeyReading> reading;
    store.read(korvu::Keychain::Account::anthropicAPIKey, &receiver, [&](korvu::KeyReading answer) { reading = answer; });
    testsupport::spinUntil([&] { return reading.has_value(); });
    return reading.value_or(korvu::KeyReading{});
}

inline bool writeKey(korvu::KeyStore& store, const std::optional<QString>& value)
{
    QObject receiver;
    std::optional<bool> stored;
    store.write(value, korvu::Keychain::Account::anthropicAPIKey, &receiver, [&](bool answer) { stored = answer; });
    testsupport::spinUntil([&] { return stored.has_value(); });
    return stored.value_or(false);
}

// The stored key, or none.
inline std::optional<QString> storedKey(korvu::KeyStore& store = korvu::KeyStore::desktop())
{
    const auto reading = readKey(store);
    return reading.status == korvu::KeyStatus::found ? std::optional<QString>(reading.value) : std::nullopt;
}

}  // namespace keychaintest
