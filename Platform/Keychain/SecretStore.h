#pragma once

#include <QByteArray>
#include <QString>

#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <optional>

namespace platform {

// Secrets in the desktop's Secret Service (gnome-keyring, KWallet) through QtKeychain. One
// secret per service and key; writing replaces the stored secret in place, so a failed
// write leaves the old one as it was. QtKeychain's plaintext fallback is never used.
//
// Nothing waits: a job runs through the event loop and its answer comes as a call on the
// main thread, or `timedOut` after the given time (a Secret Service that prompts or hangs).
// Needs a QCoreApplication; without one no answer comes.
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

    // Each call returns at once, and the answer (or `timedOut` once the time-out passed)
    // comes on the main thread, at most once, and not at all when `receiver` is gone. Call
    // them on the main thread. Writing stores `text` (as UTF-8) under the key, replacing
    // what was there; removing a missing secret gives ok or notFound, as the service says.
    using ReadDone = std::function<void(ReadResult)>;
    using Done = std::function<void(Status)>;
    static void read(const QString& service, const QString& key, std::chrono::milliseconds timeout,
                     QPointer<QObject> receiver, ReadDone done);
    static void write(const QString& service, const QString& key, const QString& text,
                      std::chrono::milliseconds timeout, QPointer<QObject> receiver, Done done);
    static void remove(const QString& service, const QString& key, std::chrono::milliseconds timeout,
                       QPointer<QObject> receiver, Done done);

    // Whether the service's default collection is locked (a locked keyring hides its items,
    // so a read finds nothing); none when the service does not say.
    static void isDefaultCollectionLocked(std::chrono::milliseconds timeout, QPointer<QObject> receiver,
                                          std::function<void(std::optional<bool>)> done);
};

}  // namespace platform
