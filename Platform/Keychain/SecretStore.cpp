#include "Platform/Keychain/SecretStore.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <utility>

#include <functional>
#include <memory>

namespace platform {
namespace {

SecretStore::Status statusOf(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError:
        return SecretStore::Status::ok;
    case QKeychain::EntryNotFound:
        return SecretStore::Status::notFound;
    case QKeychain::AccessDenied:
    case QKeychain::AccessDeniedByUser:
        return SecretStore::Status::locked;
    default:
        return SecretStore::Status::failed;
    }
}

// Starts the job and returns; `answer` runs once, on the main thread: with the job's
// outcome, or with `timedOut` when the time-out passes first. The job deletes itself when
// it finishes, however late.
void start(QKeychain::Job* job, std::chrono::milliseconds timeout, QPointer<QObject> receiver,
           std::function<void(SecretStore::Status, QKeychain::Job*)> answer)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        delete job;
        return;
    }
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    auto answered = std::make_shared<bool>(false);
    auto shared = std::make_shared<std::function<void(SecretStore::Status, QKeychain::Job*)>>(std::move(answer));
    QObject::connect(job, &QKeychain::Job::finished, app, [answered, shared, receiver](QKeychain::Job* done) {
        if (std::exchange(*answered, true) || !receiver) {
            return;
        }
        (*shared)(statusOf(done->error()), done);
    });
    QTimer::singleShot(timeout, app, [answered, shared, receiver] {
        if (std::exchange(*answered, true) || !receiver) {
            return;
        }
        (*shared)(SecretStore::Status::timedOut, nullptr);
    });
    // Started on a later turn, so that no answer can arrive within the caller's call.
    QMetaObject::invokeMethod(job, [job] { job->start(); }, Qt::QueuedConnection);
}

}  // namespace

void SecretStore::read(const QString& service, const QString& key, std::chrono::milliseconds timeout,
                       QPointer<QObject> receiver, ReadDone done)
{
    auto* job = new QKeychain::ReadPasswordJob(service);
    job->setKey(key);
    start(job, timeout, receiver, [done = std::move(done)](Status status, QKeychain::Job* finished) {
        ReadResult result;
        result.status = status;
        if (status == Status::ok && finished != nullptr) {
            result.data = static_cast<QKeychain::ReadPasswordJob*>(finished)->binaryData();
        }
        if (done) done(result);
    });
}

void SecretStore::write(const QString& service, const QString& key, const QString& text,
                        std::chrono::milliseconds timeout, QPointer<QObject> receiver, Done done)
{
    auto* job = new QKeychain::WritePasswordJob(service);
    job->setKey(key);
    job->setTextData(text);
    start(job, timeout, receiver, [done = std::move(done)](Status status, QKeychain::Job*) {
        if (done) done(status);
    });
}

void SecretStore::remove(const QString& service, const QString& key, std::chrono::milliseconds timeout,
                         QPointer<QObject> receiver, Done done)
{
    auto* job = new QKeychain::DeletePasswordJob(service);
    job->setKey(key);
    start(job, timeout, receiver, [done = std::move(done)](Status status, QKeychain::Job*) {
        if (done) done(status);
    });
}

void SecretStore::isDefaultCollectionLocked(std::chrono::milliseconds timeout, QPointer<QObject> receiver,
                                            std::function<void(std::optional<bool>)> done)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets/aliases/default"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    get.setAutoStartService(false);
    auto* call = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(get, static_cast<int>(timeout.count())), QCoreApplication::instance());
    QObject::connect(call, &QDBusPendingCallWatcher::finished, [call, receiver, done = std::move(done)] {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        std::optional<bool> locked;
        if (reply.isValid() && reply.value().variant().typeId() == QMetaType::Bool) {
            locked = reply.value().variant().toBool();
        }
        if (receiver && done) done(locked);
    });
}

}  // namespace platform
