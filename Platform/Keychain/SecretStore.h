#pragma once

#include <QByteArray>
#include <QString>

#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>

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

    // `locked`: the keyring is locked or refused us (the user may unlock it); `timedOut`:
    // no answer in time (a Secret Service waiting for an unlock prompt looks like this).
    enum class Status { ok, notFound, locked, failed, timedOut };

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

    // The same without waiting: each returns at once, and the answer (or `timedOut` once the
    // time-out passed) comes as a queued call on the main thread, at most once, and not at
    // all when `receiver` is gone. Call them on the main thread.
    using ReadDone = std::function<void(ReadResult)>;
    using Done = std::function<void(Status)>;
    static void read(const QString& service, const QString& key, std::chrono::milliseconds timeout,
                     QPointer<QObject> receiver, ReadDone done);
    static void write(const QString& service, const QString& key, const QString& text,
                      std::chrono::milliseconds timeout, QPointer<QObject> receiver, Done done);
    static void remove(const QString& service, const QString& key, std::chrono::milliseconds timeout,
                       QPointer<QObject> receiver, Done done);
};

}  // namespace platform
