// The floating button alone in a program, for the accessibility tests: it shows the
// button panel and talks to the test over stdin and stdout, one line per message:
//   out "READY"            the panel is on screen
//   out "CLICKED"          the button was clicked
//   in  "state rec|idle"   sets the button's state
//   in  "quit"
#include "KorvuDarivir/UI/MicButtonPanel.h"
#include "Platform/UI/ScreenCoordinates.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <unistd.h>

namespace {

void say(const char* line)
{
    std::puts(line);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    korvu::MicButtonPanel panel;
    panel.button()->onClick = [] { say("CLICKED"); };
    panel.place(platform::ScreenCoordinates::fromQt(QPointF(306, 332)));

    QTimer readiness;
    QObject::connect(&readiness, &QTimer::timeout, [&] {
        if (panel.windowHandle() != nullptr && panel.windowHandle()->isExposed()) {
            readiness.stop();
            say("READY");
        }
    });
    readiness.start(20);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[256];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk - 1);
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        for (const QByteArray& line : QByteArray(chunk, static_cast<int>(n)).split('\n')) {
            if (line == "state rec") {
                panel.button()->setState(korvu::MicButtonState::rec);
            } else if (line == "state idle") {
                panel.button()->setState(korvu::MicButtonState::idle);
            } else if (line == "quit") {
                QCoreApplication::quit();
            }
        }
    });
    return app.exec();
}
