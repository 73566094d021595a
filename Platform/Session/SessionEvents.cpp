#include "Platform/Session/SessionEvents.h"

#include <QDBusConnection>
#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

// The pipe the signal handler writes to; the one piece of state a handler can reach.
int signalPipe[2] = {-1, -1};
constexpr std::array<int, 3> endingSignals{SIGTERM, SIGHUP, SIGINT};

extern "C" void onEndingSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

SessionEvents::SessionEvents(QObject* parent) : QObject(parent)
{
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        signalPipe[0] = signalPipe[1] = -1;
    }
    if (signalPipe[0] >= 0) {
        notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &SessionEvents::readSignals);
        struct sigaction action = {};
        action.sa_handler = onEndingSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int number : endingSignals) {
            ::sigaction(number, &action, nullptr);
        }
    }
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { emit sessionEnding(); });
    }
    QDBusConnection system = QDBusConnection::systemBus();
    if (system.isConnected()) {
        system.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                       QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForShutdown"), this,
                       SLOT(prepareForShutdown(bool)));
    }
}

SessionEvents::~SessionEvents()
{
    if (notifier_) {
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        for (const int number : endingSignals) {
            ::sigaction(number, &action, nullptr);
        }
    }
}

void SessionEvents::readSignals()
{
    unsigned char bytes[16];
    bool any = false;
    for (;;) {
        const ssize_t count = ::read(signalPipe[0], bytes, sizeof bytes);
        if (count <= 0) {
            break;
        }
        lastSignal_ = bytes[count - 1];
        any = true;
    }
    if (any) {
        emit sessionEnding();
    }
}

void SessionEvents::prepareForShutdown(bool starting)
{
    if (starting) {
        emit powerOff();
    }
}

}  // namespace platform
