#include "Platform/Keychain/SecretStore.h"

#include <QCoreApplication>
#include <QEventLoop>
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

// Starts the job and waits for it, at most `timeout`. The job deletes itself when it
// finishes, also when that happens long after we stopped waiting: a job that is still
// talking to the service must not be destroyed under it. `onFinished` runs only while we
// wait (the connection belongs to the local loop).
SecretStore::Status run(QKeychain::Job* job, std::chrono::milliseconds timeout,
                        const std::function<void(QKeychain::Job&)>& onFinished = {})
{
    if (QCoreApplication::instance() == nullptr) {
        delete job;
        return SecretStore::Status::failed;
    }
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    QEventLoop loop;
    bool finished = false;
    SecretStore::Status status = SecretStore::Status::timedOut;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* done) {
        finished = true;
        status = statusOf(done->error());
        if (onFinished) {
            onFinished(*done);
        }
        loop.quit();
    });
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    job->start();
    if (!finished) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return status;
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

SecretStore::ReadResult SecretStore::read(const QString& service, const QString& key, std::chrono::milliseconds timeout)
{
    auto* job = new QKeychain::ReadPasswordJob(service);
    job->setKey(key);
    ReadResult result;
    result.status = run(job, timeout, [&](QKeychain::Job& done) {
        result.data = static_cast<QKeychain::ReadPasswordJob&>(done).binaryData();
    });
    if (result.status != Status::ok) {
        result.data.clear();
    }
    return result;
}

SecretStore::Status SecretStore::write(const QString& service, const QString& key, const QString& text,
                                       std::chrono::milliseconds timeout)
{
    auto* job = new QKeychain::WritePasswordJob(service);
    job->setKey(key);
    job->setTextData(text);
    return run(job, timeout);
}

SecretStore::Status SecretStore::remove(const QString& service, const QString& key, std::chrono::milliseconds timeout)
{
    auto* job = new QKeychain::DeletePasswordJob(service);
    job->setKey(key);
    return run(job, timeout);
}

}  // namespace platform
