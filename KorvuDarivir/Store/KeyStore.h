#pragma once

#include "KorvuDarivir/Store/Keychain.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

namespace korvu {

// What a reading of the key store found.
enum class KeyStatus {
    found,        // `value` holds the key
    missing,      // nothing stored (or an empty value, or bytes that are no UTF-8)
    locked,       // the keyring is locked or refused access: the user can unlock it
    unavailable,  // no Secret Service, or it did not answer in time
};

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
};

}  // namespace korvu
