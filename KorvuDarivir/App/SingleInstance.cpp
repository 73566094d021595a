#include "KorvuDarivir/App/SingleInstance.h"

#include "KorvuDarivir/Store/Vocabulary.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace korvu {

namespace {

constexpr int callTimeoutMs = 5000;

QDBusMessage call(const char* method)
{
    return QDBusMessage::createMethodCall(QString::fromLatin1(SingleInstance::serviceName),
                                          QString::fromLatin1(SingleInstance::objectPath),
                                          QString::fromLatin1(SingleInstance::interfaceName), QString::fromLatin1(method));
}

bool isRunning(QDBusConnection& bus)
{
    if (!bus.isConnected() || !bus.interface()) {
        return false;
    }
    const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(QString::fromLatin1(SingleInstance::serviceName));
    return registered.isValid() && registered.value();
}

}  // namespace

SingleInstance::SingleInstance(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus))
{
    if (!bus_.isConnected()) {
        return;
    }
    if (!bus_.registerService(QString::fromLatin1(serviceName))) {
        otherRunning_ = isRunning(bus_);
        return;
    }
    owner_ = true;
    bus_.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportScriptableSlots);
}

SingleInstance::~SingleInstance()
{
    if (owner_) {
        bus_.unregisterObject(QString::fromLatin1(objectPath));
        bus_.unregisterService(QString::fromLatin1(serviceName));
    }
}

bool SingleInstance::askRunningToOpenSettings()
{
    const QDBusMessage reply = bus_.call(call("OpenSettings"), QDBus::Block, callTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

void SingleInstance::OpenSettings()
{
    if (onOpenSettings) {
        onOpenSettings();
    }
}

void SingleInstance::AddToVocabulary(const QString& text)
{
    if (!onAddWord) {
        return;
    }
    if (const std::optional<QString> failure = onAddWord(text)) {
        sendErrorReply(QString::fromLatin1(notAddedError), *failure);
    }
}

std::optional<QString> SingleInstance::addWordArgument(const QStringList& arguments)
{
    const qsizetype at = arguments.indexOf(QStringLiteral("--add-word"), 1);
    if (at < 0) {
        return std::nullopt;
    }
    return at + 1 < arguments.size() ? arguments[at + 1] : QString();
}

QString SingleInstance::addWord(const QString& text, QDBusConnection bus)
{
    // Blank is what the running application would find nothing in either; it is not asked.
    if (Vocabulary::sanitized(text).trimmed().isEmpty()) {
        return QStringLiteral("Nach --add-word fehlt das Wort.");
    }
    if (!isRunning(bus)) {
        return QStringLiteral("KORVU Darivir läuft nicht; das Wort wurde nicht hinzugefügt.");
    }
    QDBusMessage message = call("AddToVocabulary");
    message << text;
    const QDBusMessage reply = bus.call(message, QDBus::Block, callTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == QLatin1String(notAddedError)) {
        return reply.errorMessage();
    }
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return QStringLiteral("KORVU Darivir hat nicht geantwortet: %1").arg(reply.errorMessage());
    }
    return {};
}

}  // namespace korvu
