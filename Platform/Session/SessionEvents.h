#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace platform {

// The ways the desktop tells a running program that it is to end for real:
// - `sessionEnding`: SIGTERM, SIGHUP or SIGINT (log-out, a session manager, a terminal
//   that closes, `kill`), and the session manager's request to save before the session
//   ends;
// - `powerOff`: logind announces a shutdown or reboot (PrepareForShutdown on the system
//   bus). No system bus means no such signal, nothing else.
// The process signals are turned into a byte on a pipe inside the handler (the only
// thing a handler may safely do) and read on the main thread, where `sessionEnding` is
// emitted. One instance per process: it owns the signal handlers while it lives.
class SessionEvents : public QObject {
    Q_OBJECT
public:
    explicit SessionEvents(QObject* parent = nullptr);
    ~SessionEvents() override;

    // The number of the last process signal seen (0 before any), for messages.
    int lastSignal() const { return lastSignal_; }

signals:
    void sessionEnding();
    void powerOff();

private slots:
    void prepareForShutdown(bool starting);

private:
    void readSignals();

    QSocketNotifier* notifier_ = nullptr;
    int lastSignal_ = 0;
};

}  // namespace platform
