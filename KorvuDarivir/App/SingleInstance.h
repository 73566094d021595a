#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace korvu {

// One running application per session. The first start owns the name "de.korvu.darivir"
// on the session bus and serves "de.korvu.darivir.Application" at "/de/korvu/darivir":
// `OpenSettings()` (what a second start calls before it ends) and `AddToVocabulary(s)`
// (what "korvu-darivir --add-word TEXT" calls, so desktop shortcuts and other programs can
// add a selected word; a word that was not added answers with the error
// "de.korvu.darivir.Error.NotAdded" and the sentence the user reads). Without a session bus every start runs on its own.
class SingleInstance : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "de.korvu.darivir.Application")
public:
    static constexpr const char* serviceName = "de.korvu.darivir";
    static constexpr const char* objectPath = "/de/korvu/darivir";
    static constexpr const char* interfaceName = "de.korvu.darivir.Application";
    static constexpr const char* notAddedError = "de.korvu.darivir.Error.NotAdded";

    // Claims the name on `bus` at once.
    explicit SingleInstance(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when another process owns the name (this one then serves nothing).
    bool otherInstanceRunning() const { return otherRunning_; }
    // Tells the running application to show its settings; false when it did not answer.
    bool askRunningToOpenSettings();

    std::function<void()> onOpenSettings;
    // Adds a word; the result is why it was not added (nothing when it is in the list).
    std::function<std::optional<QString>(const QString&)> onAddWord;

    // The text after the first "--add-word": none without the switch, an empty text when
    // nothing follows it.
    static std::optional<QString> addWordArgument(const QStringList& arguments);
    // Hands `text` to the running application. An empty result means done; otherwise the
    // message for the user: a blank word, no running application, no answer, or why the
    // running application did not add it.
    static QString addWord(const QString& text, QDBusConnection bus = QDBusConnection::sessionBus());

public slots:
    Q_SCRIPTABLE void OpenSettings();
    Q_SCRIPTABLE void AddToVocabulary(const QString& text);

private:
    QDBusConnection bus_;
    bool otherRunning_ = false;
    bool owner_ = false;
};

}  // namespace korvu
