// The keychain against the real Secret Service of the test session (an unlocked
// gnome-keyring), and, in a child process, against buses where no service answers.
#include "KorvuDarivir/Store/Keychain.h"
#include "KorvuDarivir/Store/KeyStore.h"
#include "KeyStoreCalls.h"
#include "Platform/Keychain/SecretStore.h"
#include "../Cleanup/PrivateBus.h"
#include "../Cleanup/QtPrinters.h"
#include "TestPaths.h"
#include "Platform/Async/MainThread.h"
#include "support/QtWait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>

namespace korvu {
namespace {

using Account = Keychain::Account;
using StringMap = QMap<QString, QString>;

// How many items the Secret Service holds for our service and account.
int storedItemCount()
{
    qDBusRegisterMetaType<StringMap>();
    QDBusMessage search = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"),
                                                         QStringLiteral("/org/freedesktop/secrets"),
                                                         QStringLiteral("org.freedesktop.Secret.Service"),
                                                         QStringLiteral("SearchItems"));
    const StringMap attributes{{QStringLiteral("server"), QString::fromLatin1(Keychain::service)},
                               {QStringLiteral("user"), Keychain::accountName(Account::anthropicAPIKey)}};
    search << QVariant::fromValue(attributes);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(search, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
        ADD_FAILURE() << "SearchItems failed: " << reply.errorMessage().toStdString();
        return -1;
    }
    const auto unlocked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
    const auto locked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(1));
    return static_cast<int>(unlocked.size() + locked.size());
}

// Whether the session's default keyring is there and unlocked. Asked first, so that a
// keyring daemon that went away (and would come back locked, prompting on the display)
// fails the suite at once instead of hanging it.
bool defaultKeyringUnlocked()
{
    QDBusMessage get = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"),
                                                      QStringLiteral("/org/freedesktop/secrets/aliases/default"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        return false;
    }
    const QVariant locked = reply.arguments().first().value<QDBusVariant>().variant();
    return locked.typeId() == QMetaType::Bool && !locked.toBool();
}

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qEnvironmentVariable("KORVU_TEST_SESSION"), QStringLiteral("1"))
            << "run this suite under scripts/with-test-session.sh (it needs the session's keyring)";
        ASSERT_TRUE(defaultKeyringUnlocked()) << "the session's default keyring is missing or locked";
        ASSERT_TRUE(keychaintest::writeKey(KeyStore::desktop(), std::nullopt));
        ready_ = true;
    }
    void TearDown() override
    {
        // Only on a keyring that was usable: touching a locked one would prompt.
        if (ready_) {
            keychaintest::writeKey(KeyStore::desktop(), std::nullopt);
        }
    }

private:
    bool ready_ = false;
};

TEST_F(KeychainTest, AValueRoundTripsExactlyWithUmlautsAndSpaces)
{
    EXPECT_EQ(keychaintest::storedKey(), std::nullopt);
    const QString value = QStringLiteral("  sk-ant-\u00e4\u00f6\u00fc\u00df-\u20ac-\U0001F600 ");
    ASSERT_TRUE(keychaintest::writeKey(KeyStore::desktop(), value));
    EXPECT_EQ(keychaintest::storedKey(), value);
    EXPECT_EQ(storedItemCount(), 1);
}

TEST_F(KeychainTest, WritingReplacesTheItemAndLeavesExactlyOne)
{
    ASSERT_TRUE(keychaintest::writeKey(KeyStore::desktop(), QStringLiteral("first")));
    ASSERT_TRUE(keychaintest::writeKey(KeyStore::desktop(), QStringLiteral("second")));
    EXPECT_EQ(keychaintest::storedKey(), QStringLiteral("second"));
    ASSERT_TRUE(keychaintest::writeKey(KeyStore::desktop(), QStringLiteral("second")));
    EXPECT_EQ(storedItemCount(), 1);
    EXPECT_EQ(keychaintest::storedKey(), QStringLiteral("second"));
}

TEST_F(KeychainTest, EmptyAndAbsentValuesDeleteTheItem)
{
    ASSERT_TRUE(keychaintest::writeKey(KeyStore::desktop(), QStringLiteral("k1")));
    EXPECT_TRUE(keychaintest::writeKey(KeyStore::desktop(), QString()));
    EXPECT_EQ(keychaintest::storedKey(), std::nullopt);
    EXPECT_EQ(storedItemCount(), 0);

    ASSERT_TRUE(keychaintest::writeKey(KeyStore::desktop(), QStringLiteral("k2")));
    EXPECT_TRUE(keychaintest::writeKey(KeyStore::desktop(), std::nullopt));
    EXPECT_EQ(keychaintest::storedKey(), std::nullopt);
    // Deleting what is not there is fine.
    EXPECT_TRUE(keychaintest::writeKey(KeyStore::desktop(), std::nullopt));
}

TEST_F(KeychainTest, AnEmptyStoredSecretReadsAsNone)
{
    // Another program may have stored an empty secret under our name.
    QObject receiver;
    std::optional<platform::SecretStore::Status> written;
    platform::SecretStore::write(QString::fromLatin1(Keychain::service), Keychain::accountName(Account::anthropicAPIKey),
                                 QString(), std::chrono::seconds(10), &receiver,
                                 [&](platform::SecretStore::Status status) { written = status; });
    ASSERT_TRUE(testsupport::spinUntil([&] { return written.has_value(); }));
    ASSERT_EQ(*written, platform::SecretStore::Status::ok);
    EXPECT_EQ(storedItemCount(), 1);
    EXPECT_EQ(keychaintest::storedKey(), std::nullopt);
}

TEST_F(KeychainTest, AValueTheServiceWouldCutShortIsRefusedAndTheOldKeyStays)
{
    ASSERT_TRUE(keychaintest::writeKey(KeyStore::desktop(), QStringLiteral("sk-old")));
    EXPECT_FALSE(keychaintest::writeKey(KeyStore::desktop(), QStringLiteral("sk-") + QChar(u'\0') + QStringLiteral("new")));
    EXPECT_EQ(keychaintest::storedKey(), QStringLiteral("sk-old"));
}

// The store the dictation uses answers later, on the main thread, never within the call,
// and not at all once the asking object is gone.
TEST_F(KeychainTest, TheKeyStoreAnswersLaterAndOnlyToAReceiverThatStillExists)
{
    KeyStore& store = KeyStore::desktop();
    QObject receiver;
    std::optional<bool> stored;
    store.write(QStringLiteral("sk-async"), Account::anthropicAPIKey, &receiver, [&](bool ok) { stored = ok; });
    EXPECT_FALSE(stored.has_value()) << "answered within the call";
    const auto waitFor = [](const std::function<bool()>& done) { return testsupport::spinUntil(done); };
    ASSERT_TRUE(waitFor([&] { return stored.has_value(); }));
    EXPECT_TRUE(*stored);

    std::optional<KeyReading> reading;
    store.read(Account::anthropicAPIKey, &receiver, [&](KeyReading answer) { reading = answer; });
    EXPECT_FALSE(reading.has_value());
    ASSERT_TRUE(waitFor([&] { return reading.has_value(); }));
    EXPECT_EQ(*reading, (KeyReading{KeyStatus::found, QStringLiteral("sk-async")}));

    bool late = false;
    {
        QObject gone;
        store.read(Account::anthropicAPIKey, &gone, [&](KeyReading) { late = true; });
    }
    reading.reset();
    store.write(std::nullopt, Account::anthropicAPIKey, &receiver, [&](bool) {
        store.read(Account::anthropicAPIKey, &receiver, [&](KeyReading answer) { reading = answer; });
    });
    ASSERT_TRUE(waitFor([&] { return reading.has_value(); }));
    EXPECT_EQ(reading->status, KeyStatus::missing);
    EXPECT_FALSE(late) << "a completion reached a receiver that was gone";
}

// A Secret Service in memory whose writes can fail and whose keyring can be locked.
class MemorySecrets : public KeyStore::SecretBackend {
public:
    std::optional<QString> stored;
    bool failWrites = false;
    bool locked = false;
    int removes = 0;

    void read(const QString&, QPointer<QObject> receiver, std::function<void(platform::SecretStore::ReadResult)> done) override
    {
        platform::SecretStore::ReadResult result;
        result.status = stored && !locked ? Status::ok : Status::notFound;
        result.data = stored && !locked ? stored->toUtf8() : QByteArray();
        platform::deliver(receiver, [done, result] { done(result); });
    }
    void write(const QString&, const QString& text, QPointer<QObject> receiver, std::function<void(Status)> done) override
    {
        if (!failWrites) stored = text;
        platform::deliver(receiver, [done, ok = !failWrites] { done(ok ? Status::ok : Status::failed); });
    }
    void remove(const QString&, QPointer<QObject> receiver, std::function<void(Status)> done) override
    {
        ++removes;
        stored.reset();
        platform::deliver(receiver, [done] { done(Status::ok); });
    }
    void isLocked(QPointer<QObject> receiver, std::function<void(std::optional<bool>)> done) override
    {
        platform::deliver(receiver, [done, value = locked] { done(value); });
    }
};

// A write that fails after a key was stored keeps that key (nothing is deleted first), and
// a locked keyring, which hides its items, reads as locked, not as a missing key.
TEST(KeyStoreOverTheService, AFailedWriteKeepsTheOldKeyAndALockedKeyringIsNoMissingKey)
{
    auto secrets = std::make_shared<MemorySecrets>();
    const auto store = KeyStore::secretService(secrets);
    EXPECT_EQ(keychaintest::readKey(*store).status, KeyStatus::missing);
    ASSERT_TRUE(keychaintest::writeKey(*store, QStringLiteral("sk-old")));
    secrets->failWrites = true;
    EXPECT_FALSE(keychaintest::writeKey(*store, QStringLiteral("sk-new")));
    EXPECT_EQ(keychaintest::readKey(*store), (KeyReading{KeyStatus::found, QStringLiteral("sk-old")}));
    EXPECT_EQ(secrets->removes, 0);
    secrets->locked = true;
    EXPECT_EQ(keychaintest::readKey(*store).status, KeyStatus::locked);
}

// What the child process answered: get, set and delete.
struct ChildAnswers {
    std::map<std::string, std::string> values;
    bool finished = false;
};

// Runs the suite's program as the keychain child with the given session bus address,
// keeping this thread's event loop running (a fake service may live on it).
ChildAnswers runChild(const QString& busAddress, int timeoutMilliseconds)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    child.setProcessEnvironment(environment);
    child.setProgram(QString::fromStdString((std::filesystem::path(testsupport::kBinDir) / "test_KorvuDarivir_Keychain").string()));
    child.setArguments({QStringLiteral("--keychain-child"), QString::number(timeoutMilliseconds)});
    QEventLoop loop;
    QObject::connect(&child, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);  // a hang, not a slow machine
    child.start();
    if (!child.waitForStarted(10000)) {
        ADD_FAILURE() << "the child did not start";
        return {};
    }
    loop.exec();
    ChildAnswers answers;
    answers.finished = child.state() == QProcess::NotRunning;
    if (!answers.finished) {
        child.kill();
        child.waitForFinished(10000);
    }
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        const auto equals = line.indexOf('=');
        if (equals > 0) {
            answers.values[line.left(equals).toStdString()] = line.mid(equals + 1).toStdString();
        }
    }
    return answers;
}

void expectNoKeychain(const ChildAnswers& answers)
{
    EXPECT_TRUE(answers.finished) << "the keychain hung";
    EXPECT_EQ(answers.values.count("get") ? answers.values.at("get") : "missing", "none");
    EXPECT_EQ(answers.values.count("set") ? answers.values.at("set") : "missing", "0");
    EXPECT_EQ(answers.values.count("delete") ? answers.values.at("delete") : "missing", "0");
}

TEST(KeychainWithoutService, ABusWithoutSecretServiceGivesNoneAndFalse)
{
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    expectNoKeychain(runChild(bus.address(), 20000));
}

TEST(KeychainWithoutService, NoBusAtAllGivesNoneAndFalse)
{
    expectNoKeychain(runChild(QStringLiteral("unix:path=/nonexistent/korvu-no-bus"), 20000));
}

// A Secret Service that takes every call and never answers, as a keyring does that waits
// for its unlock prompt.
class SilentService : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage&, const QDBusConnection&) override { return true; }
    QString introspect(const QString&) const override { return {}; }
};

TEST(KeychainWithoutService, AServiceThatNeverAnswersEndsAfterTheTimeOut)
{
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    const QString connectionName = QStringLiteral("korvu-silent-secrets");
    {
        QDBusConnection connection = QDBusConnection::connectToBus(bus.address(), connectionName);
        ASSERT_TRUE(connection.isConnected());
        SilentService service;
        ASSERT_TRUE(connection.registerVirtualObject(QStringLiteral("/"), &service, QDBusConnection::SubPath));
        ASSERT_TRUE(connection.registerService(QStringLiteral("org.freedesktop.secrets")));
        expectNoKeychain(runChild(bus.address(), 500));
        connection.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
    }
    QDBusConnection::disconnectFromBus(connectionName);
}

}  // namespace
}  // namespace korvu
