// The keychain against the real Secret Service of the test session (an unlocked
// gnome-keyring), over a backend in memory for the faults a keyring rarely shows, and, in
// a child process (this program started with "--keychain-child TIMEOUT_MS"), against
// buses where no service answers.
#include "KorvuDarivir/Store/Keychain.h"
#include "KorvuDarivir/Store/KeyStore.h"
#include "Platform/Async/MainThread.h"
#include "Platform/Keychain/SecretStore.h"
#include "../Cleanup/PrivateBus.h"
#include "TestPaths.h"
#include "support/QtWait.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

namespace korvu {
namespace {

using Account = Keychain::Account;

// Makes a call that answers through a completion and waits for the answer, which comes
// later, on the main thread, never within the call.
template <typename Answer, typename Call>
Answer answerOf(Call call)
{
    QObject receiver;
    std::optional<Answer> answer;
    call(&receiver, [&](Answer value) { answer = value; });
    EXPECT_FALSE(answer) << "answered within the call";
    EXPECT_TRUE(testsupport::spinUntil([&] { return answer.has_value(); })) << "no answer";
    return answer.value_or(Answer{});
}

KeyReading readKey(KeyStore& store = KeyStore::desktop())
{
    return answerOf<KeyReading>([&](QObject* to, auto done) { store.read(Account::anthropicAPIKey, to, done); });
}

bool writeKey(const std::optional<QString>& value, KeyStore& store = KeyStore::desktop())
{
    return answerOf<bool>([&](QObject* to, auto done) { store.write(value, Account::anthropicAPIKey, to, done); });
}

KeyReading found(const QString& value) { return {KeyStatus::found, value}; }
const KeyReading missing{KeyStatus::missing, {}};

// A call to the Secret Service itself, answered within a generous guard time.
QDBusMessage callSecrets(const QString& path, const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.secrets", path, interface, method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
}

// How many items the Secret Service holds for our service and account.
int storedItemCount()
{
    qDBusRegisterMetaType<QMap<QString, QString>>();
    const QMap<QString, QString> attributes{{"server", Keychain::service},
                                            {"user", Keychain::accountName(Account::anthropicAPIKey)}};
    const QDBusMessage reply = callSecrets("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "SearchItems",
                                           {QVariant::fromValue(attributes)});
    // Unlocked and locked items; with no reply, -1.
    return reply.type() != QDBusMessage::ReplyMessage ? -1
        : static_cast<int>(qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(0)).size() +
                           qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(1)).size());
}

QStringList logged;

TEST(Keychain, WritesReplacesAndDeletesExactlyOneItemAndNeverLogsTheKey)
{
    ASSERT_EQ(qEnvironmentVariable("KORVU_TEST_SESSION"), "1") << "run under scripts/with-test-session.sh";
    // Asked first, so that a keyring daemon that went away (and would come back locked,
    // prompting on the display) fails the suite at once instead of hanging it.
    const QDBusMessage reply = callSecrets("/org/freedesktop/secrets/aliases/default", "org.freedesktop.DBus.Properties",
                                           "Get", {"org.freedesktop.Secret.Collection", "Locked"});
    ASSERT_EQ(reply.arguments().value(0).value<QDBusVariant>().variant(), QVariant(false)) << "the keyring is missing or locked";
    const struct Cleanup {
        QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { logged << text; });
        ~Cleanup() { writeKey(std::nullopt), qInstallMessageHandler(previous); }
    } cleanup;
    ASSERT_TRUE(writeKey(std::nullopt));
    EXPECT_EQ(readKey(), missing);
    const QString value = QStringLiteral("  sk-ant-\u00e4\u00f6\u00fc\u00df-\u20ac-\U0001F600 ");
    ASSERT_TRUE(writeKey(value));
    EXPECT_EQ(readKey(), found(value)) << "the value round-trips exactly, spaces and all";
    ASSERT_TRUE(writeKey(QStringLiteral("sk-second")));
    ASSERT_TRUE(writeKey(QStringLiteral("sk-second")));
    EXPECT_EQ(readKey(), found("sk-second"));
    EXPECT_EQ(storedItemCount(), 1);
    // A value the service would cut short is refused, and the old key stays.
    EXPECT_FALSE(writeKey(QStringLiteral("sk-") + QChar(u'\0') + QStringLiteral("new")));
    EXPECT_EQ(readKey(), found("sk-second"));

    bool late = false;
    {
        QObject gone;
        KeyStore::desktop().read(Account::anthropicAPIKey, &gone, [&](KeyReading) { late = true; });
    }
    for (const std::optional<QString>& deletion : {std::optional<QString>(QString()), std::optional<QString>()}) {
        ASSERT_TRUE(writeKey(QStringLiteral("sk-third")));
        EXPECT_TRUE(writeKey(deletion)) << "an empty or absent value deletes";
        EXPECT_EQ(readKey(), missing);
        EXPECT_EQ(storedItemCount(), 0);
    }
    EXPECT_TRUE(writeKey(std::nullopt)) << "deleting what is not there is fine";
    EXPECT_FALSE(late) << "a completion reached a receiver that was gone";

    // Another program may have stored an empty secret under our name.
    ASSERT_EQ(answerOf<platform::SecretStore::Status>([](QObject* to, auto done) {
                  platform::SecretStore::write(Keychain::service, Keychain::accountName(Account::anthropicAPIKey), QString(),
                                               std::chrono::seconds(10), to, done);
              }),
              platform::SecretStore::Status::ok);
    ASSERT_EQ(storedItemCount(), 1);
    EXPECT_EQ(readKey(), missing);
    for (const QString& message : logged) EXPECT_FALSE(message.contains("sk-")) << "a key was logged: " << message.toStdString();
}

// A Secret Service in memory whose writes can fail and whose keyring can be locked.
class MemorySecrets : public KeyStore::SecretBackend {
public:
    std::optional<QString> stored;
    bool failWrites = false;
    bool locked = false;
    // Reads end in the time-out, as when the keyring waits for its unlock prompt (locked)
    // or the service hangs.
    bool readsTimeOut = false;

    void read(const QString&, QPointer<QObject> to, std::function<void(platform::SecretStore::ReadResult)> done) override
    {
        const bool visible = stored && !locked;
        if (readsTimeOut) {
            platform::deliver(to, [=] { done({Status::timedOut, {}}); });
            return;
        }
        platform::deliver(to, [=, data = stored.value_or("").toUtf8()] { done({visible ? Status::ok : Status::notFound, visible ? data : QByteArray()}); });
    }
    void write(const QString&, const QString& text, QPointer<QObject> to, std::function<void(Status)> done) override
    {
        if (!failWrites) stored = text;
        platform::deliver(to, [=, ok = !failWrites] { done(ok ? Status::ok : Status::failed); });
    }
    void remove(const QString&, QPointer<QObject> to, std::function<void(Status)> done) override
    {
        stored.reset();
        platform::deliver(to, [=] { done(Status::ok); });
    }
    void isLocked(QPointer<QObject> to, std::function<void(std::optional<bool>)> done) override
    {
        platform::deliver(to, [=, value = locked] { done(value); });
    }
};

// A failed write keeps the key stored before (nothing is deleted first), and a locked
// keyring, which hides its items, reads as locked, not as a missing key.
TEST(KeyStoreOverTheService, AFailedWriteKeepsTheOldKeyAndALockedKeyringIsNoMissingKey)
{
    auto secrets = std::make_shared<MemorySecrets>();
    const auto store = KeyStore::secretService(secrets);
    EXPECT_EQ(readKey(*store), missing);
    ASSERT_TRUE(writeKey(QStringLiteral("sk-old"), *store));
    secrets->failWrites = true;
    EXPECT_FALSE(writeKey(QStringLiteral("sk-new"), *store));
    EXPECT_EQ(readKey(*store), found("sk-old"));
    secrets->locked = true;
    EXPECT_EQ(readKey(*store).status, KeyStatus::locked);

    // A read that times out: a locked keyring waiting for its prompt, or a service that
    // hangs; neither is a missing key.
    secrets->readsTimeOut = true;
    EXPECT_EQ(readKey(*store).status, KeyStatus::locked);
    secrets->locked = false;
    EXPECT_EQ(readKey(*store).status, KeyStatus::unavailable);
}

// A Secret Service that takes every call and never answers, as a keyring does that waits
// for its unlock prompt.
class SilentService : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage&, const QDBusConnection&) override { return true; }
    QString introspect(const QString&) const override { return {}; }
};

// Runs this program as the keychain child on the given session bus and expects it to end
// with no key read, stored or deleted, and no key in what it printed.
void expectNoKeychain(const QString& busAddress, int timeoutMilliseconds)
{
    SCOPED_TRACE(busAddress.toStdString());
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    child.setProcessEnvironment(environment);
    child.start(QString(testsupport::kBinDir) + "/test_KorvuDarivir_Keychain", {"--keychain-child", QString::number(timeoutMilliseconds)});
    // The event loop keeps running: a fake service may live on it. A hang, not a slow
    // machine, reaches the guard time.
    EXPECT_TRUE(testsupport::spinUntil([&] { return child.state() == QProcess::NotRunning; })) << "the keychain hung";
    child.kill();
    child.waitForFinished();
    EXPECT_EQ(child.readAllStandardOutput(), "get=none\nset=0\ndelete=0\n");
    EXPECT_FALSE(child.readAllStandardError().contains("sk-child")) << "the key was logged";
}

TEST(KeychainWithoutService, NoBusABusWithoutTheServiceAndAServiceThatNeverAnswersGiveNoneAndFalse)
{
    expectNoKeychain("unix:path=/nonexistent/korvu-no-bus", 20000);
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    expectNoKeychain(bus.address(), 20000);

    QDBusConnection connection = QDBusConnection::connectToBus(bus.address(), "korvu-silent-secrets");
    SilentService service;
    ASSERT_TRUE(connection.registerVirtualObject("/", &service, QDBusConnection::SubPath));
    ASSERT_TRUE(connection.registerService("org.freedesktop.secrets"));
    expectNoKeychain(bus.address(), 500);
    connection.unregisterObject("/", QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus("korvu-silent-secrets");
}

// The child: reads, writes and deletes the key once each and prints what it was answered.
int runChild(std::chrono::milliseconds timeout)
{
    const auto store = KeyStore::secretService(KeyStore::secretServiceBackend(timeout));
    const auto reading = readKey(*store);
    std::printf("get=%s\n", reading.status == KeyStatus::found ? qPrintable(reading.value) : "none");
    std::printf("set=%d\n", writeKey(QStringLiteral("sk-child"), *store) ? 1 : 0);
    std::printf("delete=%d\n", writeKey(std::nullopt, *store) ? 1 : 0);
    std::fflush(stdout);
    ::_exit(0);  // a job may still wait on a service that never answers
}

}  // namespace
}  // namespace korvu

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--keychain-child") == 0) return korvu::runChild(std::chrono::milliseconds(std::atoi(argv[2])));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
