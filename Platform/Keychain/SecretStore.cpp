#include "Platform/Keychain/SecretStore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <functional>

namespace platform {
namespace {

SecretStore::Status statusOf(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError:
        return SecretStore::Status::ok;
    case QKeychain::EntryNotFound:
        return SecretStore::Status::notFound;
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

}  // namespace

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
