#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace platform {

// Desktop notifications through the session bus's notification server
// (org.freedesktop.Notifications). Nothing here waits on the bus: whether a server is
// there is learnt in the background from the start on (a running one, or one the bus
// starts on demand) and kept current as servers come and go. Main thread only.
class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    static constexpr const char* service = "org.freedesktop.Notifications";

    explicit DesktopNotifications(QObject* parent = nullptr);
    ~DesktopNotifications() override;

    // Whether a notification server runs or can be started, as far as known now; false
    // until the bus has answered.
    bool serverAvailable() const { return running_ || activatable_; }
    // True once the bus has answered the first question (or there is no bus).
    bool answered() const { return answered_; }

    // Sends a notification whose click (its default action) emits `clicked`; `done` runs
    // later on the main thread with whether the server took it.
    void notify(const QString& summary, const QString& body, std::function<void(bool shown)> done);

signals:
    // The availability became known or changed.
    void availabilityChanged();
    // The user clicked one of this object's notifications.
    void clicked();

private slots:
    void actionInvoked(uint id, const QString& key);

private:
    void ask();

    bool running_ = false;
    bool activatable_ = false;
    bool answered_ = false;
    int pendingAnswers_ = 0;
    QList<uint> sent_;
};

}  // namespace platform
