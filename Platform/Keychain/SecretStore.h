#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

namespace platform {

// Secrets in the desktop's Secret Service (gnome-keyring, KWallet) through QtKeychain. One
// secret per service and key; writing replaces the stored secret in place, so a failed
// write leaves the old one as it was. QtKeychain's plaintext fallback is never used.
//
// Every call waits for its answer in a local event loop (user input excluded), at most
// for the given time: a Secret Service that prompts or hangs ends in `timedOut`, not in a
// frozen program. Needs a QCoreApplication; without one every call fails.
class SecretStore {
public:
    SecretStore() = delete;

    enum class Status { ok, notFound, failed, timedOut };

    struct ReadResult {
        Status status = Status::failed;
        QByteArray data;  // the secret's bytes when the status is ok
    };

    static ReadResult read(const QString& service, const QString& key, std::chrono::milliseconds timeout);
    // Stores `text` (as UTF-8) under the key, replacing what was there.
    static Status write(const QString& service, const QString& key, const QString& text,
                        std::chrono::milliseconds timeout);
    // Removes the secret; a missing one gives ok or notFound, as the service reports it.
    static Status remove(const QString& service, const QString& key, std::chrono::milliseconds timeout);
};

}  // namespace platform
